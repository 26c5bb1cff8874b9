#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "log_lines.h"
#include "test_util.h"
#include "updater/driver_state.h"
#include "updater/update_thread.h"

using updater_test::log_text;
using updater_test::read_file;
using updater_test::ScopedLog;
using updater_test::TempDir;
using updater_test::write_file;

namespace {

enum class Mode { normal, staged, replace };

TEST(ReportUpdateResult, StatusLogAndWorkingFolderByModeAndResult) {
  const struct {
    Mode mode;
    UpdaterError result;
    const char* status;
    bool working_dir_kept;
    // The log's lines after their time fields, in order.
    const char* log;
  } cases[] = {
      {Mode::normal, OK, "succeeded\n", true, "succeeded\nWriting status to file: succeeded\n\n"},
      {Mode::staged, OK, "applied\n", true, "succeeded\nWriting status to file: applied\n\n"},
      {Mode::replace, OK, "succeeded\n", true, "succeeded\nWriting status to file: succeeded\n\n"},
      {Mode::normal, CRC_ERROR, "failed: 4\n", true, "failed: 4\nWriting status to file: failed: 4\n\n"},
      {Mode::staged, CRC_ERROR, "failed: 4\n", false, "Writing status to file: failed: 4\n\nfailed: 4\n"},
      // A replace request leaves its working folder alone: nothing about it was checked.
      {Mode::replace, READ_ERROR, "pending", true, "Writing status to file: pending\nfailed: 6\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    reset_driver_state();
    TempDir dir;
    const std::string work = dir / "work";
    ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
    ASSERT_TRUE(write_file(work + "/kept", "x"));
    format_path(gPatchDir, "%s", dir.path().c_str());
    format_path(gWorkingDir, "%s", work.c_str());
    gStagedUpdate = c.mode == Mode::staged;
    gReplaceRequest = c.mode == Mode::replace;
    {
      ScopedLog log(dir / "update.log");
      ReportUpdateResult(c.result);
      std::string lines;
      for (const std::string& line : updater_test::log_messages(log_text())) lines += line + "\n";
      EXPECT_EQ(lines, c.log);
    }
    EXPECT_EQ(read_file(dir / "update.status"), c.status);
    EXPECT_EQ(read_file(work + "/kept").has_value(), c.working_dir_kept);
  }
  reset_driver_state();
}

}  // namespace
