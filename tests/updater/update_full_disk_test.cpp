// Whole updates on a small tmpfs, swept over the free space: every run either succeeds
// with exactly the new tree or fails with exactly the old one (normal update), or fails
// without touching the installation (staged update, whose copy is on the small disk).
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "small_disk.h"
#include "update_fixture.h"

namespace updater_test {
namespace {

struct Files {
  std::string big_old = qbdiff_test::random_bytes(5 * kPage + 100, 31);
  std::string big_new = big_old.substr(0, 2 * kPage) + qbdiff_test::random_bytes(kPage, 32) + big_old.substr(kPage);
  std::string added = qbdiff_test::random_bytes(4 * kPage - 10, 33);
  std::string replaced_old = std::string(2 * kPage, 'r');
  std::string replaced_new = qbdiff_test::random_bytes(3 * kPage + 1, 34);
};

const char* const kManifest =
    "add \"new/added.bin\"\n"
    "add \"replaced.txt\"\n"
    "patch \"p\" \"big.bin\"\n"
    "remove \"old.txt\"\n";

void make_tree(const std::string& root, const Files& f, bool updated) {
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  ASSERT_TRUE(write_file(root + "/keep", std::string(kPage, 'k')));
  ASSERT_TRUE(write_file(root + "/big.bin", updated ? f.big_new : f.big_old));
  ASSERT_EQ(::chmod((root + "/big.bin").c_str(), 0750), 0);
  ASSERT_TRUE(write_file(root + "/replaced.txt", updated ? f.replaced_new : f.replaced_old));
  if (updated) {
    ASSERT_EQ(::mkdir((root + "/new").c_str(), 0755), 0);
    ASSERT_TRUE(write_file(root + "/new/added.bin", f.added));
  } else {
    ASSERT_TRUE(write_file(root + "/old.txt", "old"));
  }
}

TEST(UpdateFullDisk, NewTreeOrOldTree) {
  ::umask(022);
  ASSERT_TRUE(qbdiff_test::have_bsdiff()) << "bsdiff/bspatch missing: run scripts/deps.sh";
  const Files f;
  const auto patches = qbdiff_test::make_patches(f.big_old, f.big_new);
  ASSERT_TRUE(patches.has_value());
  const std::string archive = make_archive(
      {{"new/added.bin", f.added, 0644}, {"replaced.txt", f.replaced_new, 0644}, {"p", patches->qbdiff, 0644}});
  ASSERT_FALSE(archive.empty());
  TempDir expected;
  make_tree(expected / "new", f, true);
  make_tree(expected / "old", f, false);
  const std::string new_tree = tree_snapshot(expected / "new"), old_tree = tree_snapshot(expected / "old");

  for (bool staged : {false, true}) {
    SCOPED_TRACE(staged ? "staged" : "normal");
    SmallDisk disk;
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    UpdateDirs dirs;
    if (!staged) dirs.install = disk / "install";
    dirs.work = disk / "work";
    int failures = 0, successes = 0;
    for (std::size_t free_pages = 0; free_pages <= 30; ++free_pages) {
      SCOPED_TRACE(free_pages);
      ensure_remove_recursive(dirs.install.c_str(), false);
      ensure_remove_recursive(dirs.work.c_str(), false);
      ASSERT_TRUE(disk.leave_free(128));
      make_tree(dirs.install, f, false);
      ASSERT_TRUE(disk.leave_free(free_pages));

      ScopedLog log(dirs.root / "update.log");
      const UpdaterError result = run_update(dirs, archive, kManifest, staged);
      EXPECT_NE(result, -100);
      if (result == OK) {
        ++successes;
        EXPECT_EQ(tree_snapshot(staged ? dirs.work : dirs.install), new_tree) << log_text();
      } else {
        ++failures;
        EXPECT_EQ(tree_snapshot(dirs.install), old_tree) << log_text();
      }
      // Once there is room, every larger room succeeds too.
      if (successes > 0) {
        EXPECT_EQ(result, OK) << log_text();
      }
    }
    EXPECT_GT(failures, 5);
    EXPECT_GT(successes, 0);
  }
}

}  // namespace
}  // namespace updater_test
