#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "test_util.h"
#include "updater/valid_path.h"

using updater_test::log_text;
using updater_test::ScopedLog;
using updater_test::TempDir;

namespace {

TEST(GetValidPath, Table) {
  struct Case {
    std::string line;
    bool is_dir;
    const char* path;  // null: refused
    const char* rest;  // where the cursor points afterwards; null: no closing quote
    const char* log;   // the log line's text after the time field, for a refusal
  };
  const std::string long_name(4095, 'n');
  const Case cases[] = {
      {"\"dir/file\"", false, "dir/file", "", nullptr},
      {"\"dir/file\" \"next\"", false, "dir/file", " \"next\"", nullptr},
      {"dir/file", false, "dir/file", nullptr, nullptr},
      {"\"\"\"lead\" x", false, "lead", " x", nullptr},
      {"\"a..b\"", false, nullptr, "", "get_valid_path: paths must not contain '..': a..b"},
      {"\"../up\"", false, nullptr, "", "get_valid_path: paths must not contain '..': ../up"},
      {"\"/abs\"", false, nullptr, "", "get_valid_path: path must be relative: /abs"},
      {"\"dir\"", true, nullptr, "", "get_valid_path: directory paths must have a trailing forward slash: dir"},
      {"\"dir/\"", true, "dir", "", nullptr},
      {"\"a/b/\"", false, "a/b/", "", nullptr},
      {"", false, nullptr, "", "get_valid_path: unable to determine path: "},
      {"\"\"\"", false, nullptr, "\"\"\"", "get_valid_path: unable to determine path: \"\"\""},
      {"\"" + long_name + "\"", false, long_name.c_str(), "", nullptr},
      {"\"" + long_name + "/\"", true, long_name.c_str(), "", nullptr},
      {"\"" + long_name + "n\"", false, nullptr, "", "get_valid_path: path too long: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 40));
    TempDir dir;
    ScopedLog log(dir / "update.log");
    std::string line = c.line;
    char* cursor = line.data();
    char* path = get_valid_path(&cursor, c.is_dir);
    if (c.path == nullptr) {
      EXPECT_EQ(path, nullptr);
      std::string text = log_text();
      std::size_t at = text.find(": ");
      ASSERT_NE(at, std::string::npos);
      EXPECT_TRUE(text.substr(at + 2).starts_with(c.log)) << text.substr(0, 200);
      EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    } else {
      ASSERT_NE(path, nullptr);
      EXPECT_STREQ(path, c.path);
      // The path is cut out of the line itself.
      EXPECT_GE(path, line.data());
      EXPECT_LT(path, line.data() + line.size());
      EXPECT_EQ(log_text(), "");
    }
    if (c.rest == nullptr) {
      EXPECT_EQ(cursor, nullptr);
    } else if (path != nullptr || c.log != nullptr) {
      ASSERT_NE(cursor, nullptr);
      EXPECT_STREQ(cursor, c.rest);
    }
  }
}

TEST(GetValidPath, NullTextAndTwoPathsOfOneLine) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  char* cursor = nullptr;
  EXPECT_EQ(get_valid_path(&cursor, false), nullptr);
  EXPECT_NE(log_text().find("get_valid_path: unable to determine path: (null)\n"), std::string::npos);

  // The cursor stops right after the first closing quote; the caller moves it to the
  // next opening quote before taking the second path.
  std::string line = "\"test/path\" \"file/path\"";
  cursor = line.data();
  EXPECT_STREQ(get_valid_path(&cursor, false), "test/path");
  EXPECT_STREQ(cursor, " \"file/path\"");
  cursor = std::strchr(cursor, '"');
  EXPECT_STREQ(get_valid_path(&cursor, false), "file/path");
  EXPECT_STREQ(cursor, "");
}

}  // namespace
