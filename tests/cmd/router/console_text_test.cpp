#include "cmd/router/console_text.h"

#include <gtest/gtest.h>

namespace cmd_router {
namespace {

TEST(DecodeArgument, InvalidSequencesBecomeReplacementCharacters) {
  struct Case {
    std::string raw;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"plain", "plain"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},  // valid two-byte sequence kept
      {"a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b"},                                     // stray byte
      {"\xC3", "\xEF\xBF\xBD"},                  // truncated sequence at the end
      {"\xC0\xAF", "\xEF\xBF\xBD"},              // overlong form
      {"x\xF4\x90\x80\x80y", "x\xEF\xBF\xBDy"},  // above U+10FFFF
  };
  for (const Case& c : cases) EXPECT_EQ(decode_argument(c.raw), c.text);
}

TEST(DecodeArguments, SkipsTheProgramPath) {
  char prog[] = "router";
  char a[] = "--sam";
  char b[] = "h\xFE:1";
  char* argv[] = {prog, a, b, nullptr};
  auto args = decode_arguments(3, argv);
  ASSERT_EQ(args.size(), 2u);
  EXPECT_EQ(args[0], "--sam");
  EXPECT_EQ(args[1], "h\xEF\xBF\xBD:1");
}

}  // namespace
}  // namespace cmd_router
