#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "test_util.h"
#include "updater/backup_draft.h"
#include "updater/file_ops.h"

using updater_test::log_text;
using updater_test::lstat_mode;
using updater_test::path_of_length;
using updater_test::read_file;
using updater_test::ScopedLog;
using updater_test::TempDir;
using updater_test::write_file;

namespace {

const std::string kLeaf = "/ffffffffffffffffffffffffffffff";

bool has_line(const std::string& text) { return log_text().find(": " + text + "\n") != std::string::npos; }

TEST(Backup, CreateThenRestoreOrDiscard) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  std::string file = dir / "app";
  std::string backup = file + ".vex-backup";

  // Restore after a failure puts the old file back.
  ASSERT_TRUE(write_file(file, "old"));
  ::chmod(file.c_str(), 0555);
  ASSERT_EQ(backup_create(file.c_str()), OK);
  EXPECT_FALSE(path_exists(file.c_str()));
  EXPECT_EQ(read_file(backup), "old");
  ASSERT_TRUE(write_file(file, "half-new"));
  backup_restore(file.c_str(), "app", WRITE_ERROR, true);
  EXPECT_EQ(read_file(file), "old");
  EXPECT_EQ(lstat_mode(file), S_IFREG | 0555);
  EXPECT_FALSE(path_exists(backup.c_str()));

  // Discard after success deletes the backup, even a read-only one.
  ASSERT_EQ(backup_create(file.c_str()), OK);
  ASSERT_TRUE(write_file(file, "new"));
  backup_restore(file.c_str(), "app", OK, true);
  EXPECT_EQ(read_file(file), "new");
  EXPECT_FALSE(path_exists(backup.c_str()));

  // No backup, or one this action did not make: nothing is restored.
  backup_restore(file.c_str(), "app", WRITE_ERROR, true);
  EXPECT_TRUE(has_line("backup_restore: backup file doesn't exist: app.vex-backup"));
  ASSERT_TRUE(write_file(backup, "someone else's"));
  backup_restore(file.c_str(), "app", WRITE_ERROR, false);
  EXPECT_TRUE(has_line("backup_restore: not restoring a backup that this action did not create: app.vex-backup"));
  EXPECT_EQ(read_file(file), "new");
  EXPECT_EQ(read_file(backup), "someone else's");
}

TEST(Draft, DiscardAndCommit) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  std::string file = dir / "app";
  std::string draft = file + ".vex-draft";

  EXPECT_EQ(draft_discard(file.c_str(), "app"), OK);
  EXPECT_EQ(log_text(), "");
  ASSERT_TRUE(write_file(draft, "left over"));
  ::chmod(draft.c_str(), 0444);
  EXPECT_EQ(draft_discard(file.c_str(), "app"), OK);
  EXPECT_TRUE(has_line("draft_discard: discarding draft file: app.vex-draft"));
  EXPECT_FALSE(path_exists(draft.c_str()));

  ASSERT_TRUE(write_file(file, "old"));
  ::chmod(file.c_str(), 0444);
  ASSERT_TRUE(write_file(draft, "new"));
  EXPECT_EQ(draft_commit(file.c_str()), OK);
  EXPECT_EQ(read_file(file), "new");
  EXPECT_FALSE(path_exists(draft.c_str()));
  EXPECT_EQ(draft_commit(file.c_str()), READ_ERROR);

  PathBuffer buffer{};
  EXPECT_TRUE(format_draft_path(buffer, "dir/app"));
  EXPECT_STREQ(buffer.data(), "dir/app.vex-draft");
  EXPECT_FALSE(format_draft_path(buffer, std::string(4086, 'x').c_str()));
  EXPECT_EQ(buffer.back(), '\0');
}

// A name derived from a long path must not be cut: cut at 4,095 bytes the backup name of
// a 4,095-byte path is the path itself, and a slightly shorter path's cut name is
// another file. Both must fail before anything is renamed or removed.
TEST(BackupAndDraft, NamesThatDoNotFitFailBeforeTouchingAnything) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  for (std::size_t length : {std::size_t{4095}, std::size_t{4090}, std::size_t{4086}}) {
    SCOPED_TRACE(length);
    std::string file = path_of_length(dir.path(), length, kLeaf);
    ASSERT_EQ(file.size(), length);
    ASSERT_TRUE(write_file(file, "precious"));
    // What the cut backup and draft names would have been.
    std::string cut_backup = (file + ".vex-backup").substr(0, 4095);
    std::string cut_draft = (file + ".vex-draft").substr(0, 4095);
    if (cut_backup != file) {
      ASSERT_TRUE(write_file(cut_backup, "other"));
    }
    if (cut_draft != file && cut_draft != cut_backup) {
      ASSERT_TRUE(write_file(cut_draft, "other"));
    }

    EXPECT_EQ(backup_create(file.c_str()), PATH_TOO_LONG_ERROR);
    backup_restore(file.c_str(), "rel", WRITE_ERROR, true);
    backup_restore(file.c_str(), "rel", OK, true);
    EXPECT_EQ(draft_discard(file.c_str(), "rel"), PATH_TOO_LONG_ERROR);
    EXPECT_EQ(draft_commit(file.c_str()), PATH_TOO_LONG_ERROR);

    EXPECT_EQ(read_file(file), "precious");
    if (cut_backup != file) {
      EXPECT_EQ(read_file(cut_backup), "other");
    }
    if (cut_draft != file) {
      EXPECT_EQ(read_file(cut_draft), "other");
    }
  }
  EXPECT_TRUE(has_line("draft_discard: draft path too long for: rel"));
  EXPECT_TRUE(has_line("draft_commit: draft path too long"));
  EXPECT_NE(log_text().find("backup_create: backup path too long for: "), std::string::npos);
}

}  // namespace
