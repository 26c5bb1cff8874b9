// Updates of a few hundred files killed with SIGKILL at random moments. Whenever the
// program dies, what it leaves must be safe to find: unless the status is final it reads
// "applying" (or was never written, and then nothing changed); every file is wholly old
// or wholly new; a replaced or removed file keeps its old contents at its ".vex-backup"
// name until the run finishes; and a staged run leaves the installation as it was. The
// delays are random, so each run kills at another point; the checks hold for any. Then
// a few delays are aimed, by halving, at the short stretch where files are being moved.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "program_runner.h"
#include "tests/updater/qbdiff_tools.h"
#include "update_tree.h"

namespace program_test {
namespace {

using updater_test::read_file;

enum class Kind { replaced, added, removed, patched, kept };

struct FileSpec {
  std::string path;
  Kind kind;
  std::string old_data;  // empty for added files
  std::string new_data;  // empty for removed and kept files
};

constexpr int kReplaced = 120;
constexpr int kAdded = 100;
constexpr int kRemoved = 50;
constexpr int kPatched = 12;
constexpr int kKept = 30;

struct Scenario {
  std::vector<FileSpec> files;
  std::string archive;
  bool ok = false;

  Scenario() {
    std::mt19937 rng(7);
    auto data = [&](std::size_t min, std::size_t spread) {
      return qbdiff_test::random_bytes(min + rng() % spread, static_cast<std::uint32_t>(rng()));
    };
    std::string manifest = "type \"partial\"\n";
    std::vector<ArchiveFile> items;
    for (int i = 0; i < kReplaced; ++i) {
      FileSpec f{"replaced/" + std::to_string(i), Kind::replaced, data(1000, 20000), data(1000, 20000)};
      manifest += "add \"" + f.path + "\"\n";
      items.push_back({f.path, f.new_data, 0644});
      files.push_back(f);
    }
    for (int i = 0; i < kAdded; ++i) {
      FileSpec f{"added/" + std::to_string(i % 10) + "/" + std::to_string(i), Kind::added, "", data(500, 20000)};
      manifest += "add \"" + f.path + "\"\n";
      items.push_back({f.path, f.new_data, 0644});
      files.push_back(f);
    }
    for (int i = 0; i < kRemoved; ++i) {
      FileSpec f{"removed/" + std::to_string(i), Kind::removed, data(100, 5000), ""};
      manifest += "remove \"" + f.path + "\"\n";
      files.push_back(f);
    }
    for (int i = 0; i < kPatched; ++i) {
      FileSpec f{"patched/" + std::to_string(i), Kind::patched, data(20000, 20000), ""};
      f.new_data = f.old_data.substr(0, 5000) + data(100, 1000) + f.old_data.substr(9000);
      auto patch = qbdiff_test::make_patches(f.old_data, f.new_data);
      if (!patch) return;
      const std::string item = "patches/" + std::to_string(i);
      manifest += "patch \"" + item + "\" \"" + f.path + "\"\n";
      items.push_back({item, patch->qbdiff, 0644});
      files.push_back(f);
    }
    for (int i = 0; i < kKept; ++i) files.push_back({"kept/" + std::to_string(i), Kind::kept, data(10, 3000), ""});
    items.push_back({"updatev3.manifest", manifest, 0644});
    archive = signed_archive(items);
    ok = !archive.empty();
  }

  void make_install(const UpdateTree& t) const {
    for (const FileSpec& f : files) {
      if (!f.old_data.empty()) UpdateTree::put(t.install + "/" + f.path, f.old_data);
    }
  }
};

const Scenario& scenario() {
  static const Scenario s;
  return s;
}

// Checks what a killed normal update left; `final` when its status was "succeeded\n".
void check_killed_tree(const UpdateTree& t, const std::optional<std::string>& status) {
  const bool untouched = !status;
  const bool final = status == "succeeded\n";
  if (!untouched && !final) {
    ASSERT_EQ(status, "applying");
  }
  bool any_finished = false;  // a backup already discarded
  bool all_executed = true;
  for (const FileSpec& f : scenario().files) {
    SCOPED_TRACE(f.path);
    const std::string path = t.install + "/" + f.path;
    const std::optional<std::string> now = read_file(path);
    const std::optional<std::string> backup = read_file(path + ".vex-backup");
    if (backup) {
      // A backup is always the whole old file.
      EXPECT_EQ(*backup, f.old_data);
      EXPECT_FALSE(final);
    }
    switch (f.kind) {
      case Kind::kept: EXPECT_EQ(now, f.old_data); break;
      case Kind::added:
        if (now) {
          EXPECT_EQ(*now, f.new_data);
        }
        all_executed = all_executed && now.has_value();
        break;
      case Kind::replaced:
      case Kind::patched:
        if (!now) {
          // Between the move to the backup and the move of the draft onto the name.
          EXPECT_TRUE(backup.has_value());
        } else if (*now != f.old_data) {
          EXPECT_EQ(*now, f.new_data);
          any_finished = any_finished || !backup;
        }
        all_executed = all_executed && now == f.new_data;
        break;
      case Kind::removed:
        if (now) {
          EXPECT_EQ(*now, f.old_data);
        } else {
          any_finished = any_finished || !backup;
        }
        all_executed = all_executed && !now;
        break;
    }
    if (untouched || final) {
      EXPECT_EQ(now.has_value(), final ? f.kind != Kind::removed : !f.old_data.empty());
      if (now) {
        EXPECT_EQ(*now, final && !f.new_data.empty() ? f.new_data : f.old_data);
      }
    }
  }
  // Backups are discarded only once every action has executed.
  if (any_finished) {
    EXPECT_TRUE(all_executed);
  }
}

// How far a killed normal update got.
enum class Phase { not_started, drafting, moving, finishing, done };

Phase phase_of(const UpdateTree& t) {
  const std::optional<std::string> status = t.status();
  if (!status) return Phase::not_started;
  if (*status != "applying") return Phase::done;
  bool any_new = false;
  for (const FileSpec& f : scenario().files) {
    const std::string path = t.install + "/" + f.path;
    if (exists(path + ".vex-backup")) return Phase::moving;
    any_new = any_new || (!f.new_data.empty() && read_file(path) == f.new_data);
  }
  return any_new ? Phase::finishing : Phase::drafting;
}

// Runs the update and kills it after `delay`, unless it ended by then.
void run_and_kill(const std::vector<std::string>& args, std::chrono::microseconds delay) {
  Launch launch;
  launch.args = args;
  Process process(launch);
  EXPECT_TRUE(process.started());
  ::usleep(static_cast<useconds_t>(delay.count()));
  process.kill();
}

class Crash : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scenario().ok) << "the archive or a patch could not be made";
    // One whole run first: it must succeed, and its length bounds the random delays.
    UpdateTree t;
    scenario().make_install(t);
    ASSERT_TRUE(updater_test::write_file(t.patch + "/update.vpk", scenario().archive));
    const auto start = std::chrono::steady_clock::now();
    Launch launch;
    launch.args = t.args();
    const Result r = run(launch);
    duration_ = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(t.status(), "succeeded\n");
    check_killed_tree(t, t.status());
  }

  std::chrono::microseconds random_delay() {
    std::uniform_int_distribution<long> pick(0, duration_.count() * 11 / 10);
    return std::chrono::microseconds(pick(rng_));
  }

  std::chrono::microseconds duration_{};
  int moved_ = 0;
  std::mt19937 rng_{20240501};
};

TEST_F(Crash, KilledNormalUpdateLeavesOldOrNewFilesAndBackups) {
  // The longest delay seen to stop before any file moved, the shortest seen after.
  long before_moves = 0;
  long after_moves = duration_.count() * 11 / 10;
  auto kill_round = [&](long delay) {
    SCOPED_TRACE("killed after " + std::to_string(delay) + " us");
    UpdateTree t;
    scenario().make_install(t);
    ASSERT_TRUE(updater_test::write_file(t.patch + "/update.vpk", scenario().archive));
    run_and_kill(t.args(), std::chrono::microseconds(delay));
    check_killed_tree(t, t.status());
    const Phase phase = phase_of(t);
    if (phase < Phase::moving && delay > before_moves) before_moves = delay;
    if (phase > Phase::moving && delay < after_moves) after_moves = delay;
    moved_ += phase == Phase::moving ? 1 : 0;
  };
  for (int round = 0; round < 10 && !HasFailure(); ++round) kill_round(random_delay().count());
  for (int round = 0; round < 8 && !HasFailure() && moved_ == 0 && before_moves < after_moves; ++round) {
    kill_round((before_moves + after_moves) / 2);
  }
  RecordProperty("kills_while_moving", moved_);
}

TEST_F(Crash, KilledStagedUpdateLeavesTheInstallationAsItWas) {
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    UpdateTree t;
    scenario().make_install(t);
    ASSERT_TRUE(updater_test::write_file(t.patch + "/update.vpk", scenario().archive));
    const std::string before = updater_test::tree_snapshot(t.install);
    run_and_kill(t.args({"-1"}), random_delay());
    const std::optional<std::string> status = t.status();
    if (status) {
      EXPECT_TRUE(status == "applying" || status == "applied\n") << *status;
    }
    EXPECT_EQ(updater_test::tree_snapshot(t.install), before);
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace program_test
