#include <string>

#include <gtest/gtest.h>

#include "test_util.h"
#include "updater/manifest_contents.h"

using updater_test::log_text;
using updater_test::ScopedLog;
using updater_test::TempDir;
using updater_test::write_file;

namespace {

TEST(GetManifestContents, WholeFileWithAClosingNul) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  std::string big;
  for (int i = 0; i < 20000; ++i) big += "add \"file" + std::to_string(i) + "\"\n";
  for (const std::string& contents : {std::string(), std::string("type \"partial\"\n"), big}) {
    SCOPED_TRACE(contents.size());
    ASSERT_TRUE(write_file(dir / "manifest", contents));
    MallocText text = GetManifestContents((dir / "manifest").c_str());
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text.get()), contents);
  }
  EXPECT_EQ(log_text(), "");
  EXPECT_EQ(GetManifestContents((dir / "missing").c_str()), nullptr);
  EXPECT_NE(log_text().find("GetManifestContents: error opening manifest file: " + dir / "missing" + "\n"),
            std::string::npos);
}

}  // namespace
