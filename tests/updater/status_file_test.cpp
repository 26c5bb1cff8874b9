#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"
#include "updater/status_file.h"

using updater_test::list_dir;
using updater_test::log_text;
using updater_test::lstat_mode;
using updater_test::read_file;
using updater_test::ScopedLog;
using updater_test::TempDir;
using updater_test::write_file;

namespace {

const char* const kStatuses[] = {"applying", "succeeded\n", "applied\n", "pending", "failed: 7\n"};

TEST(WriteToFile, WritesEachStatusExactly) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  std::string patch = dir / "patch";
  ASSERT_EQ(::mkdir(patch.c_str(), 0755), 0);
  ASSERT_TRUE(write_file(patch + "/update.status", "a much longer previous status"));
  for (const char* status : kStatuses) {
    SCOPED_TRACE(status);
    EXPECT_TRUE(WriteToFile(patch.c_str(), status));
    EXPECT_EQ(read_file(patch + "/update.status"), status);
    EXPECT_EQ(lstat_mode(patch + "/update.status"), S_IFREG | 0600);
    EXPECT_EQ(list_dir(patch), std::vector<std::string>{"update.status"});
    EXPECT_NE(log_text().find("Writing status to file: " + std::string(status) + "\n"), std::string::npos);
  }
}

TEST(WriteToFile, CreatesAMissingPatchFolder) {
  TempDir dir;
  std::string patch = dir / "a/b/patch";
  EXPECT_TRUE(WriteToFile(patch.c_str(), "applying"));
  EXPECT_EQ(read_file(patch + "/update.status"), "applying");
}

TEST(WriteToFile, FailsWithoutCreatingAnything) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  ASSERT_TRUE(write_file(dir / "plain", "x"));
  // The patch folder cannot be made under a file.
  EXPECT_FALSE(WriteToFile((dir / "plain/patch").c_str(), "applying"));
  EXPECT_NE(log_text().find("WriteToFile failed to ensure parent directory's existence\n"), std::string::npos);
  // The status path does not fit its buffer.
  std::string long_dir = dir / std::string(4090, 'p');
  EXPECT_FALSE(WriteToFile(long_dir.c_str(), "applying"));
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"plain"});
  EXPECT_EQ(read_file(dir / "plain"), "x");
}

// A process rewriting the status without pause is killed at random moments: whatever
// the moment, the status file holds one whole status, never a cut or empty one.
TEST(WriteToFile, KilledWriterLeavesOneCompleteStatus) {
  TempDir dir;
  ASSERT_TRUE(WriteToFile(dir.path().c_str(), kStatuses[0]));
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> pause_us(0, 3000);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (unsigned i = 0;; ++i) WriteToFile(dir.path().c_str(), kStatuses[i % 5]);
    }
    ::usleep(static_cast<useconds_t>(pause_us(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));

    auto text = read_file(dir / "update.status");
    ASSERT_TRUE(text.has_value());
    EXPECT_TRUE(std::find(std::begin(kStatuses), std::end(kStatuses), *text) != std::end(kStatuses))
        << "status file holds \"" << *text << "\"";
    // A temporary file of the killed writer may stay behind; it is not the status.
    for (const std::string& name : list_dir(dir.path())) {
      if (name != "update.status") ::unlink((dir / name).c_str());
    }
  }
}

}  // namespace
