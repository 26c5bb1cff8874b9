// A mixed manifest run whole, normal and staged: success gives the expected tree; a
// failure of any action in Draft or Execute rolls everything back to the tree as it was
// (contents, modes, links), with no draft or backup left; nothing outside the
// installation (link targets) changes, and a staged update never touches the
// installation, not even through a link in it.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "update_fixture.h"

namespace updater_test {
namespace {

// The files of the scenario and both patches, made once (bsdiff takes a moment).
struct Scenario {
  std::string a = qbdiff_test::random_bytes(20000, 11);
  std::string b;
  std::string c = qbdiff_test::random_bytes(30000, 12);
  std::string d;
  qbdiff_test::Patches p0, p1;
  bool ok = false;

  Scenario() {
    b = a.substr(0, 5000) + "inserted text" + a.substr(5000, 12000) + qbdiff_test::random_bytes(900, 13);
    d = c;
    for (std::size_t i = 100; i < d.size(); i += 1000) d[i] = static_cast<char>(d[i] ^ 0x5a);
    auto x = qbdiff_test::make_patches(a, b), y = qbdiff_test::make_patches(c, d);
    if (!x || !y) return;
    p0 = *x;
    p1 = *y;
    ok = true;
  }
};

const Scenario& scenario() {
  static const Scenario s;
  return s;
}

const char* const kManifest =
    "type \"partial\"\n"
    "add \"new/added.txt\"\n"
    "add \"replaced.txt\"\n"
    "remove \"old.txt\"\n"
    "patch \"p0\" \"patched.bin\"\n"
    "patch \"p1\" \"lib/libx.so\"\n"
    "rmrfdir \"dir/\"\n"
    "rmdir \"empty/\"\n"
    "add-if \"keep.txt\" \"cond/yes.txt\"\n"
    "add-if-not \"keep.txt\" \"cond/no.txt\"\n"
    "patch-if \"absent\" \"p2\" \"keep.txt\"\n"
    "remove \"not-there.txt\"\n";

std::vector<ArchiveItem> archive_items() {
  const Scenario& s = scenario();
  return {{"new/added.txt", "added\n", 0644}, {"replaced.txt", "replaced-new\n", 0600}, {"p0", s.p0.qbdiff, 0644},
          {"p1", s.p1.qbdiff, 0644},          {"cond/yes.txt", "yes\n", 0644},          {"cond/no.txt", "no\n", 0644},
          {"p2", s.p0.qbdiff, 0644}};
}

void file(const std::string& path, const std::string& contents, mode_t mode) {
  ASSERT_TRUE(write_file(path, contents)) << path;
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

void make_install(const UpdateDirs& dirs) {
  const Scenario& s = scenario();
  const std::string& i = dirs.install;
  ASSERT_EQ(::mkdir(i.c_str(), 0755), 0);
  file(i + "/keep.txt", "keep\n", 0644);
  file(i + "/old.txt", "old\n", 0600);
  file(i + "/replaced.txt", "replaced-old\n", 0640);
  file(i + "/patched.bin", s.a, 0751);
  ASSERT_EQ(::mkdir((i + "/lib").c_str(), 0755), 0);
  file(i + "/lib/libx.so.1", s.c, 0755);
  // An absolute link into the installation, as the staged copy keeps it.
  ASSERT_EQ(::symlink((i + "/lib/libx.so.1").c_str(), (i + "/lib/libx.so").c_str()), 0);
  ASSERT_EQ(::mkdir((i + "/dir").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((i + "/dir/sub").c_str(), 0700), 0);
  file(i + "/dir/a", "a\n", 0644);
  file(i + "/dir/sub/b", "b\n", 0444);
  ASSERT_EQ(::symlink(dirs.outside.path().c_str(), (i + "/dir/sub/to-outside").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (i + "/dir/dangling").c_str()), 0);
  ASSERT_EQ(::mkdir((i + "/empty").c_str(), 0755), 0);
  file(dirs.outside / "target", "outside\n", 0444);
}

void make_expected(const std::string& root) {
  const Scenario& s = scenario();
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  file(root + "/keep.txt", "keep\n", 0644);
  file(root + "/replaced.txt", "replaced-new\n", 0600);
  file(root + "/patched.bin", s.b, 0751);
  ASSERT_EQ(::mkdir((root + "/lib").c_str(), 0755), 0);
  file(root + "/lib/libx.so.1", s.c, 0755);
  // The link is replaced by the patched file, with its target's mode.
  file(root + "/lib/libx.so", s.d, 0755);
  ASSERT_EQ(::mkdir((root + "/new").c_str(), 0755), 0);
  file(root + "/new/added.txt", "added\n", 0644);
  ASSERT_EQ(::mkdir((root + "/cond").c_str(), 0755), 0);
  file(root + "/cond/yes.txt", "yes\n", 0644);
}

void plant_full_folder(const std::string& path) {
  ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
  file(path + "/inside", "x", 0644);
}

TEST(UpdateRun, SuccessGivesTheExpectedTree) {
  ::umask(022);
  ASSERT_TRUE(qbdiff_test::have_bsdiff()) << "bsdiff/bspatch missing: run scripts/deps.sh";
  ASSERT_TRUE(scenario().ok);
  const std::string archive = make_archive(archive_items());
  ASSERT_FALSE(archive.empty());
  for (bool staged : {false, true}) {
    SCOPED_TRACE(staged ? "staged" : "normal");
    UpdateDirs dirs;
    ScopedLog log(dirs.root / "update.log");
    make_install(dirs);
    const std::string install_before = tree_snapshot(dirs.install);
    const std::string outside_before = tree_snapshot(dirs.outside.path());
    TempDir expected;
    make_expected(expected / "tree");

    ASSERT_EQ(run_update(dirs, archive, kManifest, staged), OK) << log_text();
    const std::string& updated = staged ? dirs.work : dirs.install;
    EXPECT_EQ(tree_snapshot(updated), tree_snapshot(expected / "tree")) << log_text();
    if (staged) {
      EXPECT_EQ(tree_snapshot(dirs.install), install_before);
    }
    EXPECT_EQ(tree_snapshot(dirs.outside.path()), outside_before);
  }
}

struct Fault {
  const char* name;
  std::function<void(const UpdateDirs&)> setup;
  const char* omit_item;     // left out of the archive
  const char* corrupt_item;  // its bytes replaced by something that is no patch
  UpdaterError normal;       // expected result of a normal update
  UpdaterError staged;       // of a staged one; OK: not a fault there (no backups)
};

void none(const UpdateDirs&) {}

const Fault kFaults[] = {
    {"add: item missing", none, "new/added.txt", nullptr, READ_ERROR, READ_ERROR},
    {"add over a file: full folder at its backup name",
     [](const UpdateDirs& d) { plant_full_folder(d.install + "/replaced.txt.vex-backup"); }, nullptr, nullptr,
     REMOVE_ERROR, OK},
    {"remove: full folder at its backup name",
     [](const UpdateDirs& d) { plant_full_folder(d.install + "/old.txt.vex-backup"); }, nullptr, nullptr, REMOVE_ERROR,
     OK},
    {"patch: wrong CRC",
     [](const UpdateDirs& d) {
       std::string bytes = *read_file(d.install + "/patched.bin");
       bytes[777] = static_cast<char>(bytes[777] ^ 1);
       file(d.install + "/patched.bin", bytes, 0751);
     },
     nullptr, nullptr, CRC_ERROR, CRC_ERROR},
    {"patch: not a patch", none, nullptr, "p0", READ_ERROR, READ_ERROR},
    {"patch through a link: wrong size",
     [](const UpdateDirs& d) { file(d.install + "/lib/libx.so.1", scenario().c + "!", 0755); }, nullptr, nullptr,
     SOURCE_SIZE_ERROR, SOURCE_SIZE_ERROR},
    {"patch through a link: full folder at its backup name",
     [](const UpdateDirs& d) { plant_full_folder(d.install + "/lib/libx.so.vex-backup"); }, nullptr, nullptr,
     REMOVE_ERROR, OK},
    {"patch: item missing", none, "p1", nullptr, READ_ERROR, READ_ERROR},
    {"rmrfdir entry: full folder at its backup name",
     [](const UpdateDirs& d) { plant_full_folder(d.install + "/dir/a.vex-backup"); }, nullptr, nullptr, REMOVE_ERROR,
     OK},
    {"add-if: item missing", none, "cond/yes.txt", nullptr, READ_ERROR, READ_ERROR},
};

class UpdateRollback : public ::testing::TestWithParam<std::size_t> {};

TEST_P(UpdateRollback, TreeAsItWas) {
  ::umask(022);
  ASSERT_TRUE(qbdiff_test::have_bsdiff()) << "bsdiff/bspatch missing: run scripts/deps.sh";
  ASSERT_TRUE(scenario().ok);
  const Fault& f = kFaults[GetParam()];
  SCOPED_TRACE(f.name);
  std::vector<ArchiveItem> items;
  for (ArchiveItem item : archive_items()) {
    if (f.omit_item != nullptr && item.name == f.omit_item) continue;
    if (f.corrupt_item != nullptr && item.name == f.corrupt_item) item.data = "QBDIFF11 is no patch at all";
    items.push_back(item);
  }
  const std::string archive = make_archive(items);
  ASSERT_FALSE(archive.empty());
  for (bool staged : {false, true}) {
    const UpdaterError expected = staged ? f.staged : f.normal;
    if (expected == OK) continue;
    SCOPED_TRACE(staged ? "staged" : "normal");
    UpdateDirs dirs;
    ScopedLog log(dirs.root / "update.log");
    make_install(dirs);
    f.setup(dirs);
    const std::string install_before = tree_snapshot(dirs.install);
    const std::string outside_before = tree_snapshot(dirs.outside.path());

    EXPECT_EQ(run_update(dirs, archive, kManifest, staged), expected) << log_text();
    EXPECT_EQ(tree_snapshot(dirs.install), install_before) << log_text();
    EXPECT_EQ(tree_snapshot(dirs.outside.path()), outside_before);
  }
}

INSTANTIATE_TEST_SUITE_P(EachAction, UpdateRollback, ::testing::Range<std::size_t>(0, std::size(kFaults)));

}  // namespace
}  // namespace updater_test
