#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "sample_tree.h"
#include "test_util.h"
#include "updater/file_ops.h"
#include "updater/remove_tree.h"

using updater_test::list_dir;
using updater_test::log_text;
using updater_test::make_deep_tree;
using updater_test::SampleTree;
using updater_test::ScopedLog;
using updater_test::TempDir;
using updater_test::tree_snapshot;
using updater_test::write_file;

namespace {

TEST(EnsureRemoveRecursive, MissingPathFailsSilently) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  EXPECT_EQ(ensure_remove_recursive((dir / "missing").c_str(), false), -1);
  EXPECT_EQ(ensure_remove_recursive((dir / "missing").c_str(), true), -1);
  EXPECT_EQ(log_text(), "");
}

TEST(EnsureRemoveRecursive, RemovesTheTreeAndNothingOutsideIt) {
  for (bool continue_on_error : {false, true}) {
    SCOPED_TRACE(continue_on_error);
    TempDir dir;
    SampleTree tree(dir / "tree");
    // A read-only folder inside the tree too.
    ::chmod((tree.root + "/sub/deep").c_str(), 0555);
    std::string outside = tree_snapshot(tree.outside.path());
    ASSERT_NE(outside.find("locked/inner 444 file"), std::string::npos);

    EXPECT_EQ(ensure_remove_recursive(tree.root.c_str(), continue_on_error), 0);
    EXPECT_FALSE(path_exists(tree.root.c_str()));
    EXPECT_EQ(tree_snapshot(tree.outside.path()), outside);
  }
}

TEST(EnsureRemoveRecursive, TopLevelFileOrLink) {
  TempDir dir;
  SampleTree tree(dir / "tree");
  std::string outside = tree_snapshot(tree.outside.path());
  for (const char* name : {"outside-dir", "abs-link", "dangling", "sub/ro.bin"}) {
    SCOPED_TRACE(name);
    std::string path = tree.root + "/" + name;
    EXPECT_EQ(ensure_remove_recursive(path.c_str(), false), 0);
    EXPECT_FALSE(path_exists(path.c_str()));
  }
  EXPECT_EQ(tree_snapshot(tree.outside.path()), outside);
}

// Paths below the walk that do not fit the path buffer: the walk fails with a log line
// instead of working on a cut path, which would name another entry or the folder itself.
TEST(EnsureRemoveRecursive, TreeDeeperThanThePathBufferFailsCleanly) {
  for (bool continue_on_error : {false, true}) {
    SCOPED_TRACE(continue_on_error);
    TempDir dir;
    ScopedLog log(dir / "update.log");
    std::string top = dir / "top";
    ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
    ASSERT_TRUE(make_deep_tree(top, 20, 250));
    ASSERT_TRUE(write_file(dir / "beside", "kept"));
    EXPECT_EQ(ensure_remove_recursive(top.c_str(), continue_on_error), -1);
    EXPECT_NE(log_text().find("ensure_remove_recursive: path too long: " + top + "/"), std::string::npos);
    EXPECT_TRUE(path_exists(top.c_str()));
    EXPECT_EQ(updater_test::read_file(dir / "beside"), "kept");
  }
}

// Cut at 4,095 bytes, the path of an entry in a folder whose own path is 4,095 bytes
// long would be the folder itself.
TEST(EnsureRemoveRecursive, FolderWithA4095BytePathFailsCleanly) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  std::string folder = updater_test::path_of_length(dir.path(), 4095, std::string("/").append(30, 'g'));
  ASSERT_EQ(folder.size(), 4095u);
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ASSERT_TRUE(updater_test::make_deep_tree(folder, 0, 0));
  for (bool continue_on_error : {false, true}) {
    EXPECT_EQ(ensure_remove_recursive(folder.c_str(), continue_on_error), -1);
  }
  EXPECT_NE(log_text().find("ensure_remove_recursive: path too long: " + folder + "/leaf"), std::string::npos);
  EXPECT_EQ(list_dir(folder), std::vector<std::string>{"leaf"});
}

TEST(EnsureRemoveRecursive, FolderThatCannotBeOpenedCountsAsDone) {
  TempDir dir;
  std::string top = dir / "top";
  ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
  ASSERT_TRUE(write_file(top + "/file", "f"));
  // Run where no descriptor can be opened any more (root ignores permission bits).
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int lowest = ::dup(0);
    ::close(lowest);
    rlimit limit{static_cast<rlim_t>(lowest), static_cast<rlim_t>(lowest)};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::_exit(ensure_remove_recursive(top.c_str(), false) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(list_dir(top), std::vector<std::string>{"file"});
}

// With the continue flag every entry is tried; an entry that cannot go (a mount point)
// then keeps only itself and its parent.
TEST(EnsureRemoveRecursive, ContinueFlagTriesEveryEntry) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  std::string top = dir / "top";
  ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((top + "/mnt").c_str(), 0755), 0);
  if (::mount("tmpfs", (top + "/mnt").c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  for (const char* name : {"a", "b", "c", "d", "e"}) ASSERT_TRUE(write_file(top + "/" + name, name));
  ASSERT_EQ(::mkdir((top + "/f").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(top + "/f/g", "g"));

  int result = ensure_remove_recursive(top.c_str(), true);
  std::vector<std::string> left = list_dir(top);
  ::umount2((top + "/mnt").c_str(), MNT_DETACH);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(left, std::vector<std::string>{"mnt"});
  EXPECT_NE(log_text().find("ensure_remove_recursive: unable to remove directory: " + top + "/mnt, rv: -1, err: 16"),
            std::string::npos);
}

}  // namespace
