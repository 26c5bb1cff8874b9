// The callback: the program the updater replaces itself with at the end, whatever the
// update's outcome. A script in the installation records what it was started with: its
// arguments, working folder, environment, and the status and log it found.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "program_runner.h"
#include "update_tree.h"

namespace program_test {
namespace {

using updater_test::read_file;

constexpr int kCallbackExit = 42;

struct CallbackTree : UpdateTree {
  std::string script = install + "/run.sh";
  std::string record = outside + "/record";
  std::string evil = outside + "/evil.sh";

  CallbackTree() {
    ::mkdir(record.c_str(), 0755);
    put(script,
        "#!/bin/sh\n"
        "r='" +
            record +
            "'\n"
            "for a in \"$0\" \"$@\"; do printf '%s\\n' \"$a\"; done > \"$r/argv\"\n"
            "pwd > \"$r/cwd\"\n"
            "printf '%s' \"${VEX_LAUNCHED_CHILD-unset}\" > \"$r/env\"\n"
            "cat '" +
            patch +
            "/update.status' > \"$r/status\"\n"
            "cat '" +
            patch +
            "/update.log' > \"$r/log\"\n"
            "exit " +
            std::to_string(kCallbackExit) + "\n",
        0755);
    put(evil, "#!/bin/sh\ntouch '" + outside + "/evil-ran'\n", 0755);
    put(install + "/update-settings.ini", "[Settings]\nACCEPTED_VPK_CHANNEL_IDS=release\n");
  }

  bool put_small_update() const {
    return put_archive({{"updatev3.manifest", "add \"added.txt\"\n", 0644}, {"added.txt", "added\n", 0644}});
  }
  std::string recorded(const std::string& name) const { return read_file(record + "/" + name).value_or("(none)"); }
};

Result run_with(const std::vector<std::string>& args, const std::string& cwd = "") {
  Launch launch;
  launch.args = args;
  launch.cwd = cwd;
  return run(launch);
}

TEST(Callback, StartedWithItsArgumentsFolderEnvironmentStatusAndWholeLog) {
  CallbackTree t;
  ASSERT_TRUE(t.put_small_update());
  const Result r = run_with(t.args({"1", t.outside, t.script, "first arg", "--second", "a b"}));
  // The callback took the process over: the exit code is its own.
  EXPECT_EQ(r.code, kCallbackExit) << r.err;
  EXPECT_EQ(t.recorded("argv"), t.script + "\nfirst arg\n--second\na b\n");
  EXPECT_EQ(t.recorded("cwd"), t.outside + "\n");
  EXPECT_EQ(t.recorded("env"), "1");
  EXPECT_EQ(t.recorded("status"), "succeeded\n");
  // The log was finished before the callback started: it found it whole.
  EXPECT_EQ(t.recorded("log"), t.log());
  const std::vector<std::string> lines = log_messages(t.log());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Running LaunchCallbackAndPostProcessApps");
  EXPECT_EQ(read_file(t.install + "/added.txt"), "added\n");
}

TEST(Callback, StartedAfterAFailedUpdateToo) {
  CallbackTree t;  // no archive
  const Result r = run_with(t.args({"1", t.outside, t.script}));
  EXPECT_EQ(r.code, kCallbackExit);
  EXPECT_EQ(t.recorded("status"), "failed: 6\n");
  EXPECT_EQ(t.recorded("argv"), t.script + "\n");
}

TEST(Callback, MissingWorkingFolderDoesNotStopIt) {
  CallbackTree t;
  ASSERT_TRUE(t.put_small_update());
  const Result r = run_with(t.args({"1", t.outside + "/missing", t.script}), t.root.path());
  EXPECT_EQ(r.code, kCallbackExit);
  EXPECT_EQ(t.recorded("cwd"), t.root.path() + "\n");
}

// When the callback cannot be started the updater's own exit code stands.
TEST(Callback, FailingStartLeavesTheUpdatersExitCode) {
  const struct {
    const char* what;
    bool with_update;
    const char* callback;  // below the installation
    int code;
    const char* status;
  } cases[] = {
      {"not executable, update succeeded", true, "/data.txt", 0, "succeeded\n"},
      {"not executable, update failed", false, "/data.txt", 1, "failed: 6\n"},
      {"missing, update succeeded", true, "/missing", 0, "succeeded\n"},
      {"a folder, update failed", false, "/folder", 1, "failed: 6\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CallbackTree t;
    UpdateTree::put(t.install + "/data.txt", "not a program\n", 0644);
    ::mkdir((t.install + "/folder").c_str(), 0755);
    if (c.with_update) {
      ASSERT_TRUE(t.put_small_update());
    }
    const Result r = run_with(t.args({"1", t.outside, t.install + c.callback, "arg"}));
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_EQ(t.status(), c.status);
    EXPECT_EQ(log_messages(t.log()).back(), "Running LaunchCallbackAndPostProcessApps");
  }
}

// GTK takes its own options out of the arguments it is given, wherever they stand. The
// callback that was checked is the one started, with the arguments as given.
TEST(Callback, GtkOptionsAmongTheArgumentsChangeNothing) {
  const struct {
    const char* what;
    std::vector<std::string> front;  // the first arguments, GTK options among them
    std::vector<std::string> after;  // the callback's arguments (paths of `evil`)
  } cases[] = {
      {"--class=x as arg-version", {"--class=x"}, {"EVIL"}},
      {"--name with its value as arg-version and patch-dir", {"--name"}, {"EVIL", "EVIL"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CallbackTree t;
    ASSERT_TRUE(t.put_small_update());
    std::vector<std::string> args = c.front;
    for (const std::string& a :
         std::vector<std::string>{t.patch, t.install, t.work, "first", "1", t.outside, t.script}) {
      args.push_back(a);
    }
    std::string expected_argv = t.script + "\n";
    for (const std::string& a : c.after) {
      args.push_back(a == "EVIL" ? t.evil : a);
      expected_argv += t.evil + "\n";
    }
    const Result r = run_with(args);
    EXPECT_EQ(r.code, kCallbackExit) << r.err;
    EXPECT_EQ(t.recorded("argv"), expected_argv);
    EXPECT_FALSE(exists(t.outside + "/evil-ran"));
    // Not silent: GTK was asked to start (and found no display).
    EXPECT_EQ(log_messages(t.log())[1], "sUpdateSilently=false");
  }
}

TEST(Callback, BackgroundTaskIsSilent) {
  CallbackTree t;
  ASSERT_TRUE(t.put_small_update());
  const Result r = run_with(t.args({"1", t.outside, t.script, "x", "--backgroundtask"}));
  EXPECT_EQ(r.code, kCallbackExit);
  EXPECT_EQ(log_messages(t.log())[1], "sUpdateSilently=true");
}

// A run that ends before its update thread starts leaves a final status, not "applying":
// a callback started then must find the result.
TEST(Callback, FindsAFinalStatusWhenTheUpdateThreadCannotStart) {
  CallbackTree t;
  ASSERT_TRUE(t.put_small_update());
  Launch launch;
  launch.args = t.args({"1", t.outside, t.script});
  // A default thread stack larger than the address space: the thread cannot be made.
  launch.stack_limit = rlim_t{1} << 48;
  const Result r = run(launch);
  EXPECT_EQ(r.code, kCallbackExit) << r.err;
  EXPECT_EQ(t.recorded("status"), "failed: 7\n");
  EXPECT_FALSE(exists(t.install + "/added.txt"));
  const std::vector<std::string> lines = log_messages(t.log());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "failed: 7"), lines.end());
}

TEST(Callback, WorkingFolderThatCannotBeMadeEndsTheRunWithAStatus) {
  CallbackTree t;
  ASSERT_TRUE(t.put_small_update());
  const Result r = run_with({"1", t.patch, t.install, t.outside + "/missing/work", "first", "1", t.outside, t.script});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(t.status(), "failed: 7\n");
  EXPECT_EQ(t.recorded("argv"), "(none)");
  const std::vector<std::string> lines = log_messages(t.log());
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], "failed: 7");
}

}  // namespace
}  // namespace program_test
