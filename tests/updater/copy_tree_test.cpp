#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sample_tree.h"
#include "test_util.h"
#include "updater/copy_tree.h"
#include "updater/file_ops.h"

using updater_test::list_dir;
using updater_test::log_text;
using updater_test::lstat_mode;
using updater_test::make_deep_tree;
using updater_test::read_file;
using updater_test::run_command;
using updater_test::SampleTree;
using updater_test::ScopedLog;
using updater_test::shell_quote;
using updater_test::TempDir;
using updater_test::tree_snapshot;
using updater_test::write_file;

namespace {

TEST(EnsureCopy, CopyMatchesSourceDiffAndCpA) {
  ::umask(022);
  TempDir dir;
  SampleTree tree(dir / "src");
  std::string source_before = tree_snapshot(tree.root);
  std::string outside_before = tree_snapshot(tree.outside.path());
  std::string copy = dir / "copy";
  ASSERT_EQ(ensure_copy(tree.root.c_str(), copy.c_str(), nullptr, nullptr), OK);

  auto diff = run_command("diff -r --no-dereference " + shell_quote(tree.root) + " " + shell_quote(copy));
  EXPECT_EQ(diff.status, 0) << diff.out;
  // Modes and link targets as well: against the source and against cp -a.
  std::string copied = tree_snapshot(copy);
  EXPECT_EQ(copied, source_before);
  ASSERT_EQ(run_command("cp -a " + shell_quote(tree.root) + " " + shell_quote(dir / "cp")).status, 0);
  EXPECT_EQ(copied, tree_snapshot(dir / "cp"));
  EXPECT_NE(copied.find("sub/ro.bin 444 file"), std::string::npos);
  EXPECT_NE(copied.find("outside-dir 777 link " + tree.outside / "locked"), std::string::npos);
  // Copying changes neither the source nor what its links point at.
  EXPECT_EQ(tree_snapshot(tree.root), source_before);
  EXPECT_EQ(tree_snapshot(tree.outside.path()), outside_before);
}

TEST(EnsureCopy, SkipsChosenPathsAndDrafts) {
  TempDir dir;
  std::string src = dir / "src";
  ASSERT_EQ(::mkdir(src.c_str(), 0755), 0);
  struct Entry {
    const char* name;
    bool copied;
  };
  const Entry entries[] = {
      {"kept", true},         {"Updated", false},   {"x.VEX-DRAFT", false},
      {"a.vex-draft", false}, {".vex-draft", true}, {"x.vex-draft.txt", true},
      {"updates", true},      {"updates/0", false}, {"updates/1", true},
  };
  ASSERT_EQ(::mkdir((src + "/updates").c_str(), 0755), 0);
  for (const Entry& e : entries) {
    if (std::string(e.name) != "updates") {
      ASSERT_TRUE(write_file(src + "/" + e.name, e.name));
    }
  }
  // The skip paths match whole paths, ignoring case.
  std::string skip1 = src + "/UPDATED";
  std::string skip2 = src + "/updates/0";
  std::string dst = dir / "dst";
  ASSERT_EQ(ensure_copy(src.c_str(), dst.c_str(), skip1.c_str(), skip2.c_str()), OK);
  for (const Entry& e : entries) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(path_exists((dst + "/" + e.name).c_str()), e.copied);
  }
}

TEST(EnsureCopy, IntoAnExistingFolderAndOverAnExistingFile) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "src").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir / "dst").c_str(), 0755), 0);
  EXPECT_EQ(ensure_copy((dir / "src").c_str(), (dir / "dst").c_str(), nullptr, nullptr), OK);
  EXPECT_TRUE(list_dir(dir / "dst").empty());

  ASSERT_TRUE(write_file(dir / "src/f", "new"));
  ::chmod((dir / "src/f").c_str(), 0640);
  ASSERT_TRUE(write_file(dir / "dst/f", "old and longer"));
  ::chmod((dir / "dst/f").c_str(), 0444);
  EXPECT_EQ(ensure_copy((dir / "src").c_str(), (dir / "dst").c_str(), nullptr, nullptr), OK);
  EXPECT_EQ(read_file(dir / "dst/f"), "new");
  EXPECT_EQ(lstat_mode(dir / "dst/f"), S_IFREG | 0640);
}

TEST(EnsureCopy, Failures) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  std::string missing = dir / "missing";
  EXPECT_EQ(ensure_copy(missing.c_str(), (dir / "dst").c_str(), nullptr, nullptr), READ_ERROR);
  EXPECT_NE(log_text().find("ensure_copy_recursive: path doesn't exist: " + missing + ", rv: -1, err: 2\n"),
            std::string::npos);

  ASSERT_EQ(::mkdir((dir / "src").c_str(), 0755), 0);
  std::string no_parent = dir / "no/such/dst";
  EXPECT_EQ(ensure_copy((dir / "src").c_str(), no_parent.c_str(), nullptr, nullptr), WRITE_ERROR);
  EXPECT_NE(log_text().find("ensure_copy_recursive: could not create destination directory: " + dir / "src"),
            std::string::npos);

  ASSERT_TRUE(write_file(dir / "file", "f"));
  EXPECT_EQ(ensure_copy((dir / "file").c_str(), no_parent.c_str(), nullptr, nullptr), WRITE_ERROR);
  EXPECT_NE(log_text().find("ensure_copy: failed to open the file for writing: " + no_parent + ", err: 2\n"),
            std::string::npos);

  // A pipe is refused rather than read from without end.
  ASSERT_EQ(::mkfifo((dir / "src/pipe").c_str(), 0600), 0);
  EXPECT_EQ(ensure_copy((dir / "src").c_str(), (dir / "dst").c_str(), nullptr, nullptr), READ_ERROR);
  EXPECT_NE(log_text().find("ensure_copy: not a regular file: " + dir / "src/pipe\n"), std::string::npos);
}

TEST(EnsureCopy, TreeDeeperThanThePathBufferFailsCleanly) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  std::string src = dir / "src";
  ASSERT_EQ(::mkdir(src.c_str(), 0755), 0);
  ASSERT_TRUE(make_deep_tree(src, 20, 250));
  EXPECT_EQ(ensure_copy(src.c_str(), (dir / "dst").c_str(), nullptr, nullptr), PATH_TOO_LONG_ERROR);
  EXPECT_NE(log_text().find("ensure_copy_recursive: path too long: " + src + "/"), std::string::npos);
}

TEST(EnsureCopy, FolderWithA4095BytePathFailsCleanly) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  std::string folder = updater_test::path_of_length(dir.path(), 4095, std::string("/").append(30, 'g'));
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ASSERT_TRUE(make_deep_tree(folder, 0, 0));
  std::string dst = dir / "dst";
  EXPECT_EQ(ensure_copy(folder.c_str(), dst.c_str(), nullptr, nullptr), PATH_TOO_LONG_ERROR);
  EXPECT_NE(log_text().find("ensure_copy_recursive: path too long: " + folder + "/leaf"), std::string::npos);
  EXPECT_TRUE(list_dir(dst).empty());
}

TEST(EnsureCopySymlink, CopiesTheTargetText) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  ASSERT_EQ(::symlink("../some/where", (dir / "link").c_str()), 0);
  EXPECT_EQ(ensure_copy_symlink((dir / "link").c_str(), (dir / "copy").c_str()), OK);
  char target[64] = {};
  ASSERT_EQ(::readlink((dir / "copy").c_str(), target, sizeof target - 1), 13);
  EXPECT_STREQ(target, "../some/where");

  EXPECT_EQ(ensure_copy_symlink((dir / "copy").c_str(), (dir / "copy").c_str()), READ_ERROR);
  EXPECT_NE(log_text().find("ensure_copy_symlink: failed to create the new link: " + dir / "copy" +
                            ", target: ../some/where err: 17\n"),
            std::string::npos);
  ASSERT_TRUE(write_file(dir / "plain", "x"));
  EXPECT_EQ(ensure_copy_symlink((dir / "plain").c_str(), (dir / "other").c_str()), READ_ERROR);
  EXPECT_NE(log_text().find("ensure_copy_symlink: failed to read the link: " + dir / "plain" + ", err: 22\n"),
            std::string::npos);
}

}  // namespace
