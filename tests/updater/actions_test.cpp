// Single actions and their phases: skipping, refusals, folder removal at the end, the
// conditional forms, and the numbering of patch files.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "update_fixture.h"

namespace updater_test {
namespace {

struct RunResult {
  UpdaterError result = -100;
  std::string log;
};

// Parses and runs `manifest` as a normal update of dirs.install with `archive`.
RunResult run(const UpdateDirs& dirs, const std::string& archive, const std::string& manifest) {
  ScopedLog log(dirs.root / "update.log");
  RunResult r;
  r.result = run_update(dirs, archive, manifest, false);
  r.log = log_text();
  return r;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Actions, RemoveOfAnAbsentFileIsSkippedWithCostZero) {
  UpdateDirs dirs;
  ASSERT_EQ(::mkdir(dirs.install.c_str(), 0755), 0);
  ActionContext context{dirs.install, dirs.work, false, 0};
  RemoveAction action(context);
  std::string args = "\"absent\"";
  ASSERT_EQ(action.Parse(args.data()), OK);
  EXPECT_EQ(action.Prepare(), OK);
  EXPECT_TRUE(action.skip);
  EXPECT_EQ(action.cost, 0);
  EXPECT_EQ(action.Execute(), OK);
}

TEST(Actions, Refusals) {
  struct Case {
    const char* name;
    const char* manifest;
    UpdaterError result;
    const char* line;
  };
  const Case cases[] = {
      {"remove of a folder", "remove \"folder\"\n", NOT_A_FILE_ERROR, "path present, but not a file: "},
      {"rmdir of a file", "rmdir \"file/\"\n", NOT_A_DIRECTORY_ERROR, "path present, but not a directory: "},
      {"remove of a fifo", "remove \"fifo\"\n", NOT_A_FILE_ERROR, "path present, but not a file: "},
  };
  const std::string archive = make_archive({});
  ASSERT_FALSE(archive.empty());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateDirs dirs;
    ASSERT_EQ(::mkdir(dirs.install.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dirs.install + "/folder").c_str(), 0755), 0);
    ASSERT_TRUE(write_file(dirs.install + "/file", "f"));
    ASSERT_EQ(::mkfifo((dirs.install + "/fifo").c_str(), 0644), 0);
    const std::string before = tree_snapshot(dirs.install);
    RunResult r = run(dirs, archive, c.manifest);
    EXPECT_EQ(r.result, c.result);
    EXPECT_TRUE(contains(r.log, c.line)) << r.log;
    EXPECT_EQ(tree_snapshot(dirs.install), before);
  }
}

// Links are removed as links, dangling too, and come back as links on rollback.
TEST(Actions, RemoveOfLinks) {
  const std::string archive = make_archive({});
  ASSERT_FALSE(archive.empty());
  for (bool fail : {false, true}) {
    SCOPED_TRACE(fail ? "rolled back" : "removed");
    UpdateDirs dirs;
    ASSERT_EQ(::mkdir(dirs.install.c_str(), 0755), 0);
    ASSERT_TRUE(write_file(dirs.outside / "target", "t"));
    ASSERT_EQ(::mkdir((dirs.outside / "folder").c_str(), 0755), 0);
    ASSERT_EQ(::symlink((dirs.outside / "target").c_str(), (dirs.install + "/to-file").c_str()), 0);
    ASSERT_EQ(::symlink((dirs.outside / "folder").c_str(), (dirs.install + "/to-folder").c_str()), 0);
    ASSERT_EQ(::symlink("gone", (dirs.install + "/dangling").c_str()), 0);
    const std::string before = tree_snapshot(dirs.install), outside = tree_snapshot(dirs.outside.path());
    // A final action that fails in Draft (its item is missing) rolls the removals back.
    RunResult r = run(dirs, archive,
                      std::string("remove \"to-file\"\nremove \"to-folder\"\nremove \"dangling\"\n") +
                          (fail ? "add \"missing\"\n" : ""));
    EXPECT_EQ(r.result, fail ? READ_ERROR : OK) << r.log;
    if (fail) {
      EXPECT_EQ(tree_snapshot(dirs.install), before) << r.log;
    } else {
      EXPECT_EQ(list_dir(dirs.install), std::vector<std::string>{}) << r.log;
    }
    EXPECT_EQ(tree_snapshot(dirs.outside.path()), outside);
  }
}

// Folders go in Finish after every action executed, and only when empty by then.
TEST(Actions, RmdirAtTheEndOnlyWhenEmpty) {
  const std::string archive = make_archive({{"d/new", "n\n"}});
  ASSERT_FALSE(archive.empty());
  UpdateDirs dirs;
  ASSERT_EQ(::mkdir(dirs.install.c_str(), 0755), 0);
  for (const char* d : {"/d", "/e", "/f"}) ASSERT_EQ(::mkdir((dirs.install + d).c_str(), 0755), 0);
  ASSERT_TRUE(write_file(dirs.install + "/e/old", "o"));
  ASSERT_TRUE(write_file(dirs.install + "/f/stays", "s"));
  // d/ gets a new file from a later action; e/ is emptied by an earlier one, whose backup
  // is gone by the time e/ finishes.
  RunResult r = run(dirs, archive, "remove \"e/old\"\nrmdir \"d/\"\nrmdir \"e/\"\nrmdir \"f/\"\nadd \"d/new\"\n");
  EXPECT_EQ(r.result, OK) << r.log;
  EXPECT_EQ(list_dir(dirs.install), (std::vector<std::string>{"d", "f"}));
  EXPECT_TRUE(contains(r.log, ": non-fatal error removing directory: d/, rv: 0, err: 39\n")) << r.log;
  EXPECT_TRUE(contains(r.log, ": non-fatal error removing directory: f/, rv: 0, err: 39\n")) << r.log;
}

TEST(Actions, ConditionalAddsAndPatches) {
  const auto patches = qbdiff_test::make_patches("old contents\n", "new contents!\n");
  ASSERT_TRUE(patches.has_value());
  const std::string archive = make_archive(
      {{"yes", "y\n"}, {"no", "n\n"}, {"yes2", "y2\n"}, {"no2", "n2\n"}, {"p", patches->qbdiff}, {"q", "unused"}});
  ASSERT_FALSE(archive.empty());
  UpdateDirs dirs;
  ASSERT_EQ(::mkdir(dirs.install.c_str(), 0755), 0);
  ASSERT_TRUE(write_file(dirs.install + "/x", "x"));
  ASSERT_TRUE(write_file(dirs.install + "/target", "old contents\n"));
  ASSERT_TRUE(write_file(dirs.install + "/other", "old contents\n"));
  std::string manifest =
      "add-if \"x\" \"yes\"\nadd-if-not \"x\" \"no\"\nadd-if \"absent\" \"no2\"\nadd-if-not \"absent\" \"yes2\"\n"
      "patch-if \"x\" \"p\" \"target\"\npatch-if \"absent\" \"q\" \"other\"\n";
  ActionContext context{dirs.install, dirs.work, false, 0};
  ASSERT_EQ(::mkdir(dirs.work.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dirs.work + "/updating").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(dirs.patch + "/update.vpk", archive));
  ASSERT_EQ(vpk_open(dirs.patch.c_str()), OK);
  ScopedLog log(dirs.root / "update.log");
  ActionList list;
  ASSERT_EQ(parse_manifest(manifest.data(), context, &list), OK);
  EXPECT_EQ(run_phases(list), OK) << log_text();
  // A skipped conditional action still weighs 1 in the progress.
  for (const Action* a = list.head; a != nullptr; a = a->next) EXPECT_EQ(a->cost, 1);
  vpk_close();
  EXPECT_EQ(list_dir(dirs.install), (std::vector<std::string>{"other", "target", "x", "yes", "yes2"}));
  EXPECT_EQ(read_file(dirs.install + "/target"), "new contents!\n");
  EXPECT_EQ(read_file(dirs.install + "/other"), "old contents\n");
}

// Patch files are numbered in Prepare order and hold the extracted patch items.
TEST(Actions, PatchFilesNumberedInPrepareOrder) {
  const auto p = qbdiff_test::make_patches("first old\n", "first new\n");
  const auto q = qbdiff_test::make_patches("second old\n", "second new\n");
  ASSERT_TRUE(p && q);
  const std::string archive = make_archive({{"p", p->qbdiff}, {"q", q->qbdiff}});
  ASSERT_FALSE(archive.empty());
  UpdateDirs dirs;
  ASSERT_EQ(::mkdir(dirs.install.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(dirs.work.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dirs.work + "/updating").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(dirs.install + "/a", "first old\n"));
  ASSERT_TRUE(write_file(dirs.install + "/b", "second old\n"));
  ASSERT_TRUE(write_file(dirs.patch + "/update.vpk", archive));
  ASSERT_EQ(vpk_open(dirs.patch.c_str()), OK);
  ScopedLog log(dirs.root / "update.log");
  ActionContext context{dirs.install, dirs.work, false, 0};
  ActionList list;
  std::string manifest = "patch \"q\" \"b\"\npatch \"p\" \"a\"\n";
  ASSERT_EQ(parse_manifest(manifest.data(), context, &list), OK);
  for (Action* a = list.head; a != nullptr; a = a->next) ASSERT_EQ(a->Prepare(), OK);
  EXPECT_EQ(read_file(dirs.work + "/updating/0.patch"), q->qbdiff);
  EXPECT_EQ(read_file(dirs.work + "/updating/1.patch"), p->qbdiff);
  vpk_close();
}

}  // namespace
}  // namespace updater_test
