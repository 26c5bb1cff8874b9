#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"
#include "updater/file_ops.h"

using updater_test::list_dir;
using updater_test::log_text;
using updater_test::lstat_mode;
using updater_test::read_file;
using updater_test::ScopedLog;
using updater_test::TempDir;
using updater_test::tree_snapshot;
using updater_test::write_file;

namespace {

// A folder outside the tree under test, holding a read-only file and a read-only folder,
// that links point at: nothing done to the tree may change it.
struct Outside {
  TempDir dir;
  Outside() {
    write_file(dir / "secret", "do not touch");
    ::chmod((dir / "secret").c_str(), 0444);
    ::mkdir((dir / "locked").c_str(), 0555);
  }
  std::string file() const { return dir / "secret"; }
};

TEST(EnsureParentDir, CreatesMissingFoldersOnly) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  std::string base = dir / "base";
  ASSERT_EQ(::mkdir(base.c_str(), 0700), 0);

  // Parents all there: nothing created, nothing logged. No '/': nothing to do.
  EXPECT_EQ(ensure_parent_dir((base + "/file").c_str()), OK);
  EXPECT_EQ(ensure_parent_dir("file-without-slash"), OK);
  EXPECT_EQ(ensure_parent_dir(""), OK);
  EXPECT_TRUE(list_dir(base).empty());

  ::umask(022);
  EXPECT_EQ(ensure_parent_dir((base + "/a/b//c/file").c_str()), OK);
  EXPECT_EQ(lstat_mode(base + "/a"), S_IFDIR | 0755);
  EXPECT_EQ(lstat_mode(base + "/a/b/c"), S_IFDIR | 0755);
  EXPECT_FALSE(updater_test::read_file(base + "/a/b/c/file").has_value());
  EXPECT_EQ(log_text(), "");

  // A file where a folder must go.
  ASSERT_TRUE(write_file(base + "/plain", "x"));
  EXPECT_EQ(ensure_parent_dir((base + "/plain/sub/file").c_str()), WRITE_ERROR);
  EXPECT_NE(log_text().find("ensure_parent_dir: failed to create directory: " + base + "/plain, err: 17\n"),
            std::string::npos)
      << log_text();
}

TEST(RenameFile, ReplacesAReadOnlyDestination) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  ASSERT_TRUE(write_file(dir / "src", "new"));
  ASSERT_TRUE(write_file(dir / "dst", "old"));
  ::chmod((dir / "dst").c_str(), 0444);
  EXPECT_EQ(rename_file((dir / "src").c_str(), (dir / "dst").c_str(), false), OK);
  EXPECT_EQ(read_file(dir / "dst"), "new");
  EXPECT_FALSE(read_file(dir / "src").has_value());

  // Into folders that do not exist yet.
  EXPECT_EQ(rename_file((dir / "dst").c_str(), (dir / "x/y/dst").c_str(), false), OK);
  EXPECT_EQ(read_file(dir / "x/y/dst"), "new");
  EXPECT_EQ(log_text(), "");
}

TEST(RenameFile, Failures) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  std::string missing = dir / "missing";
  EXPECT_EQ(rename_file(missing.c_str(), (dir / "dst").c_str(), false), READ_ERROR);
  EXPECT_NE(log_text().find("rename_file: failed to read file status info: " + missing + ", err: 2\n"),
            std::string::npos);

  // Only a folder swap refuses a source that is neither file nor folder.
  std::string fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(rename_file(fifo.c_str(), (dir / "dst").c_str(), true), RENAME_NOT_A_FILE_ERROR);
  EXPECT_NE(log_text().find("rename_file: path present, but not a file: " + fifo), std::string::npos);
  EXPECT_EQ(lstat_mode(fifo) & S_IFMT, static_cast<mode_t>(S_IFIFO));

  // A folder source goes ahead with a note, with or without the swap flag.
  ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0700), 0);
  ASSERT_TRUE(write_file(dir / "folder/inside", "i"));
  EXPECT_EQ(rename_file((dir / "folder").c_str(), (dir / "moved").c_str(), true), OK);
  EXPECT_NE(log_text().find("rename_file: proceeding to rename the directory\n"), std::string::npos);
  EXPECT_EQ(read_file(dir / "moved/inside"), "i");

  // A destination folder that is not empty cannot be removed.
  ASSERT_TRUE(write_file(dir / "src", "s"));
  EXPECT_EQ(rename_file((dir / "src").c_str(), (dir / "moved").c_str(), false), REMOVE_ERROR);
  std::string text = log_text();
  EXPECT_NE(text.find("ensure_remove: failed to remove file: " + dir / "moved" + ", rv: -1, err: 39\n"),
            std::string::npos);
  EXPECT_NE(text.find("rename_file: destination file exists and could not be removed: " + dir / "moved" + "\n"),
            std::string::npos);
  EXPECT_EQ(read_file(dir / "src"), "s");
}

TEST(RenameFile, ReplacesALinkWithoutTouchingItsTarget) {
  Outside outside;
  TempDir dir;
  std::string before = tree_snapshot(outside.dir.path());
  ASSERT_TRUE(write_file(dir / "src", "new"));
  ASSERT_EQ(::symlink(outside.file().c_str(), (dir / "dst").c_str()), 0);
  EXPECT_EQ(rename_file((dir / "src").c_str(), (dir / "dst").c_str(), false), OK);
  EXPECT_EQ(read_file(dir / "dst"), "new");
  EXPECT_EQ(lstat_mode(dir / "dst") & S_IFMT, static_cast<mode_t>(S_IFREG));
  EXPECT_EQ(tree_snapshot(outside.dir.path()), before);
  EXPECT_EQ(lstat_mode(outside.file()), S_IFREG | 0444);
}

TEST(EnsureRemove, LinksAreRemovedNotFollowed) {
  Outside outside;
  TempDir dir;
  ScopedLog log(dir / "update.log");
  std::string before = tree_snapshot(outside.dir.path());
  ASSERT_EQ(::symlink(outside.file().c_str(), (dir / "to-file").c_str()), 0);
  ASSERT_EQ(::symlink((outside.dir / "locked").c_str(), (dir / "to-dir").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (dir / "dangling").c_str()), 0);
  ASSERT_TRUE(write_file(dir / "read-only", "r"));
  ::chmod((dir / "read-only").c_str(), 0400);
  for (const char* name : {"to-file", "to-dir", "dangling", "read-only"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(path_exists((dir / name).c_str()));
    EXPECT_EQ(ensure_remove((dir / name).c_str()), 0);
    EXPECT_FALSE(path_exists((dir / name).c_str()));
  }
  EXPECT_EQ(tree_snapshot(outside.dir.path()), before);
  EXPECT_EQ(ensure_remove((dir / "gone").c_str()), -1);
  EXPECT_NE(log_text().find("ensure_remove: failed to remove file: " + dir / "gone" + ", rv: -1, err: 2\n"),
            std::string::npos);
}

TEST(MakeWritable, AddsOwnerWriteOnlyToTheEntryItself) {
  Outside outside;
  TempDir dir;
  ASSERT_TRUE(write_file(dir / "file", "f"));
  ::chmod((dir / "file").c_str(), 0444);
  make_writable((dir / "file").c_str());
  EXPECT_EQ(lstat_mode(dir / "file"), S_IFREG | 0644);
  ASSERT_EQ(::symlink(outside.file().c_str(), (dir / "link").c_str()), 0);
  make_writable((dir / "link").c_str());
  EXPECT_EQ(lstat_mode(outside.file()), S_IFREG | 0444);
  make_writable((dir / "missing").c_str());
}

TEST(OpenFileWithMode, Modes) {
  TempDir dir;
  std::string path = dir / "file";
  ASSERT_TRUE(write_file(path, "old"));
  ::chmod(path.c_str(), 0444);

  // Reading leaves the file as it is.
  std::FILE* file = open_file_with_mode(path.c_str(), "rb", 0);
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_EQ(lstat_mode(path), S_IFREG | 0444);
  EXPECT_EQ(open_file_with_mode((dir / "missing").c_str(), "rb", 0), nullptr);

  // Writing over a read-only file, which then gets exactly the mode asked for.
  struct Case {
    const char* mode;
    mode_t file_mode;
    bool opens;
  };
  const Case cases[] = {
      {"wb", S_IFREG | 0640, true},  {"wb+", S_IFREG | 0751, true}, {"r+", S_IFREG | 0600, true},
      {"rb+", S_IFREG | 0604, true}, {"wb", S_IFDIR | 0755, false}, {"wb", 0644, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " " + std::to_string(c.file_mode));
    ::chmod(path.c_str(), 0444);
    file = open_file_with_mode(path.c_str(), c.mode, c.file_mode);
    EXPECT_EQ(file != nullptr, c.opens);
    if (file != nullptr) {
      EXPECT_GE(std::fputs("new", file), 0);
      std::fclose(file);
      EXPECT_EQ(lstat_mode(path), c.file_mode);
      EXPECT_EQ(read_file(path), "new");
    }
  }
}

}  // namespace
