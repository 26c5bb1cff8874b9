#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"
#include "updater/ini.h"

using updater_test::TempDir;
using updater_test::write_file;

namespace {

using Values = std::vector<std::optional<std::string>>;
using namespace std::string_literals;

const std::string kTitleInfo = "Title\0Info\0"s;

TEST(ReadIni, Table) {
  struct Case {
    const char* name;
    std::optional<std::string> file;  // nothing: no file at all
    std::string keys;
    const char* section;
    Values initial;
    UpdaterError result;
    Values expected;
  };
  const Case cases[] = {
      {"values untrimmed", "[Strings]\nTitle=Hello\nInfo= x \n", kTitleInfo, nullptr, {{}, {}}, OK, {"Hello", " x "}},
      {"word after the bracket",
       "[Strings] word\nTitle=Hello\nInfo=x\n",
       kTitleInfo,
       nullptr,
       {{}, {}},
       PARSE_ERROR,
       {{}, {}}},
      {"blanks after the bracket",
       "  [Strings] \t\nTitle=Hello\nInfo=x\n",
       kTitleInfo,
       nullptr,
       {{}, {}},
       OK,
       {"Hello", "x"}},
      {"no closing bracket", "[Strings\nTitle=Hello\nInfo=x\n", kTitleInfo, nullptr, {{}, {}}, OK, {"Hello", "x"}},
      {"key without equals", "[Strings]\nTitle\nInfo=x\n", kTitleInfo, nullptr, {{}, {}}, PARSE_ERROR, {{}, "x"}},
      {"empty file", "", kTitleInfo, nullptr, {{}, {}}, READ_ERROR, {{}, {}}},
      {"missing file", std::nullopt, kTitleInfo, nullptr, {{}, {}}, READ_ERROR, {{}, {}}},
      {"repeated key counts twice",
       "[Strings]\nTitle=one\nTitle=two\n",
       kTitleInfo,
       nullptr,
       {{}, "untouched"},
       OK,
       {"two", "untouched"}},
      {"comments only at the first character",
       "[Strings]\n#Title=no\n;Info=no\n Title=yes\n  ;Info=x\n",
       kTitleInfo,
       nullptr,
       {{}, {}},
       PARSE_ERROR,
       {"yes", {}}},
      {"blank before equals belongs to the key",
       "[Strings]\nTitle =no\nInfo=x\n",
       kTitleInfo,
       nullptr,
       {{}, {}},
       PARSE_ERROR,
       {{}, "x"}},
      {"carriage returns end lines",
       "[Strings]\r\nTitle=A\r\rInfo=B\r\n",
       kTitleInfo,
       nullptr,
       {{}, {}},
       OK,
       {"A", "B"}},
      {"value keeps its equals signs", "[Strings]\nTitle=a=b\nInfo=\n", kTitleInfo, nullptr, {{}, {}}, OK, {"a=b", ""}},
      {"other sections ignored",
       "Title=top\n[Other]\nTitle=o\n[Strings]\nInfo=s\n[More]\nTitle=m\n",
       kTitleInfo,
       nullptr,
       {{}, {}},
       PARSE_ERROR,
       {{}, "s"}},
      {"named section",
       "[Strings]\nACCEPTED_VPK_CHANNEL_IDS=no\n[Settings]\nACCEPTED_VPK_CHANNEL_IDS=a,b\n",
       "ACCEPTED_VPK_CHANNEL_IDS\0"s,
       "Settings",
       {{}},
       OK,
       {"a,b"}},
      {"bracket right after the opening one", "[]x]\nTitle=A\n", "Title\0"s, "]x", {{}}, OK, {"A"}},
      {"lone bracket pair names ]", "[]\nTitle=A\n", "Title\0"s, "]", {{}}, OK, {"A"}},
      {"names past the count store nothing", "[Strings]\nInfo=x\n", kTitleInfo, nullptr, {{}}, PARSE_ERROR, {{}}},
      {"count below the names", "[Strings]\nInfo=x\nTitle=t\n", kTitleInfo, nullptr, {{}}, OK, {"t"}},
      {"text ends at a NUL byte",
       "[Strings]\nTitle=A\n\0Info=B\n"s,
       kTitleInfo,
       nullptr,
       {{}, {}},
       PARSE_ERROR,
       {"A", {}}},
      {"case matters",
       "[strings]\nTitle=A\nInfo=B\n[Strings]\ntitle=a\n",
       kTitleInfo,
       nullptr,
       {{}, {}},
       PARSE_ERROR,
       {{}, {}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string path = dir / "app.ini";
    if (c.file) {
      ASSERT_TRUE(write_file(path, *c.file));
    }
    Values values = c.initial;
    EXPECT_EQ(read_ini(path.c_str(), c.keys.c_str(), values, c.section), c.result);
    EXPECT_EQ(values, c.expected);
  }
}

}  // namespace
