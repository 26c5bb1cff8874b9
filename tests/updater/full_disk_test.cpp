// Writes that run out of space on a small tmpfs mounted by the test (root only; skipped
// where mounting is refused). The disk is filled so that exactly a chosen number of
// pages stays free, which places the failure at every stage of a write.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "small_disk.h"
#include "test_util.h"
#include "updater/copy_tree.h"
#include "updater/status_file.h"
#include "updater/update_log.h"

using updater_test::kPage;
using updater_test::list_dir;
using updater_test::log_text;
using updater_test::read_file;
using updater_test::ScopedLog;
using updater_test::SmallDisk;
using updater_test::TempDir;
using updater_test::write_file;

namespace {

TEST(FullDisk, StatusKeepsTheOldTextWhenTheNewOneDoesNotFit) {
  TempDir logs;
  ScopedLog log(logs / "update.log");
  SmallDisk disk;
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  ASSERT_TRUE(WriteToFile((disk / "").c_str(), "applying"));
  // The text sits in the stream's buffer until the flush: that is where it fails.
  ASSERT_TRUE(disk.leave_free(0));
  EXPECT_FALSE(WriteToFile((disk / "").c_str(), "failed: 7\n"));
  EXPECT_EQ(read_file(disk / "update.status"), "applying");
  EXPECT_EQ(disk.names(), std::vector<std::string>{"update.status"});
  EXPECT_NE(log_text().find("WriteToFile failed to write to status file: 28\n"), std::string::npos);

  ASSERT_TRUE(disk.leave_free(1));
  EXPECT_TRUE(WriteToFile((disk / "").c_str(), "failed: 7\n"));
  EXPECT_EQ(read_file(disk / "update.status"), "failed: 7\n");
  EXPECT_EQ(disk.names(), std::vector<std::string>{"update.status"});
}

// Closes a log still open when a test step ends early, so it cannot reach the next test.
struct DropLogAtExit {
  ~DropLogAtExit() {
    if (update_log().file != nullptr) std::fclose(update_log().file);
    update_log().file = nullptr;
  }
};

TEST(FullDisk, FinalLogIsCompleteOrThePreviousOne) {
  SmallDisk disk;
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  std::string path = disk / "update.log";
  ASSERT_TRUE(write_file(path, "previous run\n"));
  // A log of a bit more than five pages: free space from none to enough, so that each
  // page of the copy, the last buffered one included, is the one that fails.
  for (std::size_t free_pages = 0; free_pages <= 6; ++free_pages) {
    SCOPED_TRACE(free_pages);
    open_update_log(path.c_str());
    DropLogAtExit guard;
    for (int i = 0; i < 500; ++i) update_log_printf("line %04d of the log", i);
    std::string written = log_text();
    ASSERT_GT(written.size(), 5 * kPage);
    ASSERT_LT(written.size(), 6 * kPage);
    std::string before = *read_file(path);
    ASSERT_TRUE(disk.leave_free(free_pages));
    finish_update_log();
    EXPECT_EQ(update_log().file, nullptr);
    EXPECT_EQ(read_file(path), free_pages >= 6 ? written : before);
    EXPECT_EQ(disk.names(), std::vector<std::string>{"update.log"});
  }
}

TEST(FullDisk, CopyThatDoesNotFitFails) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  SmallDisk disk;
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  // Three whole copy chunks and a tail that stays in the stream's buffer until close.
  std::string contents(3 * 32768 + 100, 'x');
  for (std::size_t i = 0; i < contents.size(); i += 97) contents[i] = static_cast<char>(i & 0xff);
  ASSERT_TRUE(write_file(dir / "source", contents));
  struct Case {
    std::size_t free_pages;
    UpdaterError result;
    const char* line;  // the log line that tells the failure
  };
  const Case cases[] = {
      {0, COPY_WRITE_ERROR, "ensure_copy: failed to write the file: "},
      {10, COPY_WRITE_ERROR, "ensure_copy: failed to write the file: "},
      {24, COPY_WRITE_ERROR, "File close did not execute successfully\n"},
      {25, OK, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.free_pages);
    ::unlink((disk / "copy").c_str());
    ASSERT_TRUE(disk.leave_free(c.free_pages));
    std::size_t log_before = log_text().size();
    EXPECT_EQ(ensure_copy((dir / "source").c_str(), (disk / "copy").c_str(), nullptr, nullptr), c.result);
    std::string lines = log_text().substr(log_before);
    if (c.line != nullptr) {
      EXPECT_NE(lines.find(c.line), std::string::npos) << lines;
    } else {
      EXPECT_EQ(lines, "");
      EXPECT_EQ(read_file(disk / "copy"), contents);
    }
  }
}

}  // namespace
