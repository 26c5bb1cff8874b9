// The program's answers to its command line: the message on the standard error stream,
// the status file and the exit code, for every refusal before the update starts.
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "program_runner.h"
#include "update_tree.h"

namespace program_test {
namespace {

TEST(CommandLineProgram, Refusals) {
  UpdateTree t;
  // A file that must stay, wherever the run is pointed.
  UpdateTree::put(t.install + "/keep", "installed");
  const std::string I = t.install;
  const std::string P = t.patch;
  const std::string W = t.work;
  const struct {
    std::vector<std::string> args;
    std::string err;
    std::optional<std::string> status;  // none: no status file written
  } cases[] = {
      {{},
       "Usage: updater arg-version patch-dir install-dir apply-to-dir which-invocation [wait-pid "
       "[callback-working-dir callback-path args...]]\n",
       std::nullopt},
      {{"1", P, I, W},
       "Usage: updater arg-version patch-dir install-dir apply-to-dir which-invocation [wait-pid "
       "[callback-working-dir callback-path args...]]\n",
       std::nullopt},
      {{"1", P, I, W, "third"}, "Error invocation of updater.exe\n", std::nullopt},
      {{"1", P, I, "first", W}, "Error invocation of updater.exe\n", std::nullopt},
      {{"1", "patch", I, W, "first"},
       "The patch directory path is not valid for this application (patch)\n",
       std::nullopt},
      {{"1", P, "install", W, "first"},
       "The install directory path is not valid for this application (install)\n",
       "failed: 75\n"},
      {{"1", P, "/", W, "first"}, "The install directory path is not valid for this application (/)\n", "failed: 75\n"},
      {{"1", P, I, "work", "first"},
       "The working directory path is not valid for this application (work)\n",
       "failed: 76\n"},
      // A staged update empties its working folder and copies the installation into it.
      {{"1", P, I, I, "first", "-1"},
       "The working directory path is not valid for this application (" + I + ")\n",
       "failed: 76\n"},
      {{"1", P, I, t.root.path(), "first", "-1"},
       "The working directory path is not valid for this application (" + t.root.path() + ")\n",
       "failed: 76\n"},
      {{"1", P, I, P, "first", "-1"},
       "The working directory path is not valid for this application (" + P + ")\n",
       "failed: 76\n"},
      {{"1", P, I, "/", "first", "-1"},
       "The working directory path is not valid for this application (/)\n",
       "failed: 76\n"},
      {{"1", P, I, I + "/lib", "first", "-1"},
       "The working directory path is not valid for this application (" + I + "/lib)\n",
       "failed: 76\n"},
      {{"1", P, I, W, "first", "1", "/", "run"},
       "The callback file path is not valid for this application (run)\n",
       "failed: 77\n"},
      {{"1", P, I, W, "first", "1", "/", I + "x/run"},
       "The callback file must be located in the installation directory (" + I + "x/run)\n",
       "failed: 78\n"},
      {{"1", P, I, W, "first", "1", "/", t.outside + "/run"},
       "The callback file must be located in the installation directory (" + t.outside + "/run)\n",
       "failed: 78\n"},
  };
  const std::string before = updater_test::tree_snapshot(t.root.path());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    ::unlink((P + "/update.status").c_str());
    Launch launch;
    launch.args = c.args;
    const Result r = run(launch);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(t.status(), c.status);
    ::unlink((P + "/update.status").c_str());
    // Refused before anything was touched; no log either.
    EXPECT_EQ(updater_test::tree_snapshot(t.root.path()), before);
  }
}

// The status "applying" must be in place before the update starts; when it cannot be
// written (here the patch "folder" is a file) the run ends there.
TEST(CommandLineProgram, StatusThatCannotBeWrittenEndsTheRun) {
  UpdateTree t;
  const std::string not_a_folder = t.outside + "/file";
  UpdateTree::put(not_a_folder, "x");
  const std::string before = updater_test::tree_snapshot(t.root.path());
  Launch launch;
  launch.args = {"1", not_a_folder, t.install, t.work, "first"};
  const Result r = run(launch);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "");
  // Not even the working folder was made.
  EXPECT_EQ(updater_test::tree_snapshot(t.root.path()), before);
}

}  // namespace
}  // namespace program_test
