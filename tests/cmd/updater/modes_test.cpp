// The three modes run by the program: a normal update, a staged one into a copy, and the
// replace request that swaps the copy into place; with their statuses, trees, logs and
// exit codes, after success and after failure.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "program_runner.h"
#include "tests/updater/qbdiff_tools.h"
#include "update_tree.h"

namespace program_test {
namespace {

using updater_test::read_file;
using updater_test::tree_snapshot;

struct Contents {
  std::string patched_old = qbdiff_test::random_bytes(20000, 21);
  std::string patched_new;
  std::string patch;  // QBDIFF10, from bsdiff and the transcoder
  bool ok = false;

  Contents() {
    patched_new = patched_old.substr(0, 7000) + "new middle" + patched_old.substr(9000);
    auto p = qbdiff_test::make_patches(patched_old, patched_new);
    if (!p) return;
    patch = p->qbdiff;
    ok = true;
  }
};

const Contents& contents() {
  static const Contents c;
  return c;
}

const char* const kManifest =
    "type \"partial\"\n"
    "add \"replace.txt\"\n"
    "add \"added/new.txt\"\n"
    "add \"added/sub/run.sh\"\n"
    "remove \"gone.txt\"\n"
    "rmrfdir \"dir/\"\n"
    "patch \"patches/0\" \"patched.bin\"\n";

std::vector<ArchiveFile> update_files(const std::string& manifest = kManifest) {
  return {{"updatev3.manifest", manifest, 0644},
          {"replace.txt", "new replace\n", 0640},
          {"added/new.txt", "new file\n", 0600},
          {"added/sub/run.sh", "#!/bin/sh\nexit 0\n", 0755},
          {"patches/0", contents().patch, 0644}};
}

// The installation before the update, at `root`.
void old_tree(const std::string& root) {
  UpdateTree::put(root + "/update-settings.ini", "[Settings]\nACCEPTED_VPK_CHANNEL_IDS=release\n");
  UpdateTree::put(root + "/keep.txt", "keep\n");
  UpdateTree::put(root + "/replace.txt", "old replace\n", 0644);
  UpdateTree::put(root + "/gone.txt", "gone\n");
  UpdateTree::put(root + "/dir/a", "a\n");
  UpdateTree::put(root + "/dir/sub/b", "b\n");
  UpdateTree::put(root + "/patched.bin", contents().patched_old, 0751);
}

// The installation after the update, at `root`.
void new_tree(const std::string& root) {
  UpdateTree::put(root + "/update-settings.ini", "[Settings]\nACCEPTED_VPK_CHANNEL_IDS=release\n");
  UpdateTree::put(root + "/keep.txt", "keep\n");
  UpdateTree::put(root + "/replace.txt", "new replace\n", 0640);
  UpdateTree::put(root + "/added/new.txt", "new file\n", 0600);
  UpdateTree::put(root + "/added/sub/run.sh", "#!/bin/sh\nexit 0\n", 0755);
  UpdateTree::put(root + "/patched.bin", contents().patched_new, 0751);
}

std::string snapshot_of(void (*make)(const std::string&)) {
  updater_test::TempDir dir;
  make(dir / "tree");
  return tree_snapshot(dir / "tree");
}

std::vector<std::string> head(const std::vector<std::string>& lines, std::size_t n) {
  return {lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(std::min(n, lines.size()))};
}
std::vector<std::string> tail(const std::vector<std::string>& lines, std::size_t n) {
  return {lines.end() - static_cast<std::ptrdiff_t>(std::min(n, lines.size())), lines.end()};
}

Result run_args(const std::vector<std::string>& args) {
  Launch launch;
  launch.args = args;
  return run(launch);
}

class Modes : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(contents().ok) << "bsdiff or the transcoder failed"; }
};

TEST_F(Modes, NormalUpdate) {
  UpdateTree t;
  old_tree(t.install);
  ASSERT_TRUE(t.put_archive(update_files()));
  const Result r = run_args(t.args());
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(t.status(), "succeeded\n");
  EXPECT_EQ(tree_snapshot(t.install), snapshot_of(new_tree));
  // The working folder stays, emptied of "updating".
  EXPECT_EQ(updater_test::list_dir(t.work), std::vector<std::string>{});
  const std::vector<std::string> lines = log_messages(t.log());
  EXPECT_EQ(head(lines, 9),
            (std::vector<std::string>{"sElevationType == ElevationType::ElevatedByKPR=false", "sUpdateSilently=false",
                                      "isElevationTypeElevated(sElevationType)=false",
                                      "gInvocation=UpdaterInvocation::First", "Writing status to file: applying",
                                      "PATCH DIRECTORY " + t.patch, "INSTALLATION DIRECTORY " + t.install,
                                      "WORKING DIRECTORY " + t.work, "UPDATE TYPE partial"}));
  EXPECT_EQ(tail(lines, 6),
            (std::vector<std::string>{"succeeded", "Writing status to file: succeeded", "", "calling QuitProgressUI",
                                      "Running LaunchCallbackAndPostProcessApps",
                                      "No callback arg. Skipping LaunchWinPostProcess and "
                                      "LaunchCallbackApp"}));
  // The log file is the finished one, owner read and write only.
  EXPECT_EQ(updater_test::lstat_mode(t.patch + "/update.log") & 07777, 0600u);
  EXPECT_FALSE(read_file(t.patch + "/update-elevated.log"));
}

TEST_F(Modes, SecondInvocationLogsElsewhere) {
  UpdateTree t;
  old_tree(t.install);
  ASSERT_TRUE(t.put_archive(update_files()));
  const Result r = run_args(t.args({}, "second"));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(t.status(), "succeeded\n");
  EXPECT_FALSE(read_file(t.patch + "/update.log"));
  const std::vector<std::string> lines = log_messages(t.log("update-elevated.log"));
  ASSERT_GT(lines.size(), 4u);
  EXPECT_EQ(lines[3], "gInvocation=UpdaterInvocation::Second");
}

TEST_F(Modes, NormalFailureRollsBack) {
  UpdateTree t;
  old_tree(t.install);
  // The second add has no item in the archive: its Draft fails after the first one's.
  ASSERT_TRUE(t.put_archive(update_files(std::string(kManifest) + "add \"not-in-archive\"\n")));
  const std::string before = tree_snapshot(t.install);
  const Result r = run_args(t.args());
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(t.status(), "failed: 6\n");
  EXPECT_EQ(tree_snapshot(t.install), before);
  const std::vector<std::string> lines = log_messages(t.log());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "### draft failed"), lines.end());
  EXPECT_EQ(tail(lines, 6)[0], "failed: 6");
  EXPECT_EQ(tail(lines, 6)[1], "Writing status to file: failed: 6");
}

TEST_F(Modes, ArchiveRefusedBeforeAnythingChanges) {
  const struct {
    const char* what;
    std::vector<ArchiveFile> files;
    ArchiveOptions options;
    bool no_archive, no_settings;
    const char* status;
  } cases[] = {
      {"no archive", update_files(), {}, true, false, "failed: 6\n"},
      {"foreign signature", update_files(), {"UNTRUSTED_KEY", "release", "153.8.0"}, false, false, "failed: 19\n"},
      {"second certificate", update_files(), {"KEY2", "release", "153.8.0"}, false, false, "succeeded\n"},
      {"no settings", update_files(), {}, false, true, "failed: 38\n"},
      {"other channel", update_files(), {"KEY1", "beta", "153.8.0"}, false, false, "failed: 22\n"},
      {"older version", update_files(), {"KEY1", "release", "153.7.9"}, false, false, "failed: 23\n"},
      {"newer version", update_files(), {"KEY1", "release", "154"}, false, false, "succeeded\n"},
      {"no manifest", {{"replace.txt", "x", 0644}}, {}, false, false, "failed: 6\n"},
      {"bad manifest", update_files("type \"partial\"\nfrobnicate \"x\"\n"), {}, false, false, "failed: 5\n"},
      {"empty manifest", update_files("# nothing\n"), {}, false, false, "failed: 1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    UpdateTree t;
    old_tree(t.install);
    if (c.no_settings) ::unlink((t.install + "/update-settings.ini").c_str());
    if (!c.no_archive) {
      ASSERT_TRUE(t.put_archive(c.files, c.options));
    }
    const std::string before = tree_snapshot(t.install);
    const Result r = run_args(t.args());
    const bool succeeded = std::string(c.status) == "succeeded\n";
    EXPECT_EQ(r.code, succeeded ? 0 : 1) << r.err;
    EXPECT_EQ(t.status(), c.status);
    if (!succeeded) {
      EXPECT_EQ(tree_snapshot(t.install), before);
    }
    EXPECT_FALSE(exists(t.work + "/updating"));
  }
}

// The usual layout: the patch folder in "updates/0" and the copy in "updated", both
// inside the installation, which the copy leaves out.
TEST_F(Modes, StagedThenReplaced) {
  UpdateTree t;
  old_tree(t.install);
  const std::string patch = t.install + "/updates/0";
  const std::string work = t.install + "/updated";
  UpdateTree::put(t.install + "/updates/last-update.log", "log of the staged run\n");
  ::mkdir(patch.c_str(), 0755);
  ASSERT_TRUE(updater_test::write_file(patch + "/update.vpk", signed_archive(update_files())));
  // Left over from an earlier run: emptied before the copy.
  UpdateTree::put(work + "/stale/file", "stale\n");
  const std::string before = tree_snapshot(t.install);

  const Result staged = run_args({"1", patch, t.install, work, "first", "-1"});
  EXPECT_EQ(staged.code, 0) << staged.err;
  EXPECT_EQ(read_file(patch + "/update.status"), "applied\n");
  // The copy holds the new tree, with "updates" but not "updates/0".
  updater_test::TempDir expected;
  new_tree(expected / "tree");
  ::mkdir((expected / "tree/updates").c_str(), 0755);
  UpdateTree::put(expected / "tree/updates/last-update.log", "log of the staged run\n");
  EXPECT_EQ(tree_snapshot(work), tree_snapshot(expected / "tree"));
  EXPECT_EQ(log_messages(read_file(patch + "/update.log").value_or(""))[5], "Performing a staged update");
  // The installation is as it was but for the copy and the run's files.
  ASSERT_EQ(::rename(work.c_str(), (t.root / "copy").c_str()), 0);
  ASSERT_EQ(::unlink((patch + "/update.status").c_str()), 0);
  ASSERT_EQ(::unlink((patch + "/update.log").c_str()), 0);
  UpdateTree::put(work + "/stale/file", "stale\n");
  EXPECT_EQ(tree_snapshot(t.install), before);
  ASSERT_EQ(updater_test::run_command("rm -r " + updater_test::shell_quote(work)).status, 0);
  ASSERT_EQ(::rename((t.root / "copy").c_str(), work.c_str()), 0);

  // Meanwhile the old installation's log moved on: the swap keeps the newer one.
  UpdateTree::put(t.install + "/updates/last-update.log", "log written after staging\n");
  const Result replaced = run_args({"1", patch, t.install, work, "first", "/replace"});
  EXPECT_EQ(replaced.code, 0) << replaced.err;
  // The patch folder went with the old installation; the status and log are written
  // into the same path in the new one.
  EXPECT_EQ(read_file(patch + "/update.status"), "succeeded\n");
  EXPECT_FALSE(exists(t.install + ".bak"));
  EXPECT_EQ(read_file(t.install + "/updates/last-update.log"), "log written after staging\n");
  const std::vector<std::string> lines = log_messages(read_file(patch + "/update.log").value_or(""));
  EXPECT_EQ(lines[5], "Performing a replace request");
  ::unlink((patch + "/update.status").c_str());
  ::unlink((patch + "/update.log").c_str());
  ::rmdir(patch.c_str());
  UpdateTree::put(expected / "tree/updates/last-update.log", "log written after staging\n");
  EXPECT_EQ(tree_snapshot(t.install), tree_snapshot(expected / "tree"));
}

TEST_F(Modes, StagedFailureRemovesTheCopy) {
  UpdateTree t;
  old_tree(t.install);
  ASSERT_TRUE(t.put_archive(update_files(std::string(kManifest) + "add \"not-in-archive\"\n")));
  const std::string before = tree_snapshot(t.install);
  const Result r = run_args(t.args({"-1"}));
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(t.status(), "failed: 6\n");
  EXPECT_FALSE(exists(t.work));
  EXPECT_EQ(tree_snapshot(t.install), before);
}

TEST_F(Modes, FailedReplaceLeavesTheInstallationAndTheWorkingFolder) {
  UpdateTree t;
  old_tree(t.install);
  // No staged copy to swap in; the working folder is any folder with contents.
  UpdateTree::put(t.work + "/precious", "mine\n");
  const std::string before = tree_snapshot(t.root.path());
  const Result r = run_args(t.args({"/replace"}));
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(t.status(), "pending");
  ::unlink((t.patch + "/update.status").c_str());
  const std::vector<std::string> lines = log_messages(t.log());
  ::unlink((t.patch + "/update.log").c_str());
  EXPECT_EQ(tree_snapshot(t.root.path()), before);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Now, try to move tmpDir back to destDir"), lines.end());
}

}  // namespace
}  // namespace program_test
