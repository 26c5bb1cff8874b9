#include "updater/command_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"
#include "updater/path_relations.h"

using updater_test::TempDir;

namespace {

CommandLine parse(std::vector<std::string> args) {
  args.insert(args.begin(), "/opt/app/updater");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return parse_command_line(static_cast<int>(args.size()), argv.data());
}

TEST(IsValidPathArgument, Table) {
  const std::string longest = "/" + std::string(4094, 'p');
  const struct {
    std::string path;
    bool valid;
  } cases[] = {
      {"/", true},
      {"/opt/app", true},
      {"/opt/app/", true},
      {"/a/..b/c..", true},
      {"/a/./b", true},
      {"//a", true},
      {"opt/app", false},
      {"", false},
      {"/a/../b", false},
      {"/a/..", false},
      {"/..", false},
      {longest, true},
      {longest + "p", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_path_argument(c.path.c_str()), c.valid) << c.path.substr(0, 40);
}

TEST(ParseCommandLine, AcceptedForms) {
  const struct {
    std::vector<std::string> args;
    bool staged, replace, silent, callback;
    UpdaterInvocation invocation;
  } cases[] = {
      {{"1", "/p", "/opt/app", "/w", "first"}, false, false, false, false, UpdaterInvocation::First},
      {{"1", "/p", "/opt/app", "/w", "second"}, false, false, false, false, UpdaterInvocation::Second},
      {{"1", "/p", "/opt/app", "/w", "first", "123"}, false, false, false, false, UpdaterInvocation::First},
      {{"1", "/p", "/opt/app", "/w", "first", "-1"}, true, false, false, false, UpdaterInvocation::First},
      // -1 as a 32-bit int.
      {{"1", "/p", "/opt/app", "/w", "first", "4294967295"}, true, false, false, false, UpdaterInvocation::First},
      {{"1", "/p", "/opt/app", "/w", "first", "x/replace"}, false, true, false, false, UpdaterInvocation::First},
      {{"1", "/p", "/opt/app", "/w", "first", "4294967294"}, false, false, false, false, UpdaterInvocation::First},
      // Without a callback path there is no callback, whatever stands at position 7.
      {{"1", "/p", "/opt/app", "/w", "first", "1", "/cwd"}, false, false, false, false, UpdaterInvocation::First},
      {{"1", "/p", "/opt/app", "/w", "first", "1", "/cwd", "/opt/app/run"},
       false,
       false,
       false,
       true,
       UpdaterInvocation::First},
      {{"1", "/p", "/opt/app", "/w", "first", "1", "/cwd", "/opt/app/run", "a", "--backgroundtask"},
       false,
       false,
       true,
       true,
       UpdaterInvocation::First},
      {{"1", "/p", "/opt/app", "/w", "first", "1", "/cwd", "/opt/app/run", "-backgroundtask"},
       false,
       false,
       true,
       true,
       UpdaterInvocation::First},
      {{"1", "/p", "/opt/app", "/w", "first", "1", "/cwd", "/opt/app/run", "---backgroundtask", "backgroundtask"},
       false,
       false,
       false,
       true,
       UpdaterInvocation::First},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.size() > 5 ? c.args[5] : c.args[4]);
    const CommandLine line = parse(c.args);
    ASSERT_TRUE(line.accepted()) << line.error;
    EXPECT_EQ(line.status, OK);
    EXPECT_EQ(line.staged, c.staged);
    EXPECT_EQ(line.replace, c.replace);
    EXPECT_EQ(line.silent, c.silent);
    EXPECT_EQ(line.has_callback, c.callback);
    EXPECT_EQ(line.invocation, c.invocation);
  }
}

TEST(ParseCommandLine, OneTrailingSlashDropped) {
  const CommandLine line = parse({"1", "/p/", "/opt/app//", "/w/", "first", "1", "/c", "/opt/app/run"});
  ASSERT_TRUE(line.accepted()) << line.error;
  EXPECT_STREQ(line.patch_dir.data(), "/p/");
  EXPECT_STREQ(line.install_dir.data(), "/opt/app/");
  EXPECT_STREQ(line.working_dir.data(), "/w");
  // The '/' that ends the stored installation path counts as the one before the callback.
  EXPECT_FALSE(parse({"1", "/p/", "/opt/app//", "/w/", "first", "1", "/c", "/opt/app/"}).accepted());
}

TEST(ParseCommandLine, Refusals) {
  const struct {
    std::vector<std::string> args;
    UpdaterError status;
    std::string error;
  } cases[] = {
      {{}, OK, kUsageText},
      {{"1", "/p", "/opt/app", "/w"}, OK, kUsageText},
      {{"1", "/p", "/opt/app", "/w", "third"}, OK, "Error invocation of updater.exe\n"},
      // which-invocation one place early: five arguments, the fifth is no invocation.
      {{"1", "/p", "/opt/app", "first", "/w"}, OK, "Error invocation of updater.exe\n"},
      {{"1", "p", "/opt/app", "/w", "first"}, OK, "The patch directory path is not valid for this application (p)\n"},
      {{"1", "/p", "opt/app", "/w", "first"},
       INVALID_INSTALL_DIR_ERROR,
       "The install directory path is not valid for this application (opt/app)\n"},
      {{"1", "/p", "/opt/../app", "/w", "first"},
       INVALID_INSTALL_DIR_ERROR,
       "The install directory path is not valid for this application (/opt/../app)\n"},
      // The root as installation: every callback path would lie inside it.
      {{"1", "/p", "/", "/w", "first"},
       INVALID_INSTALL_DIR_ERROR,
       "The install directory path is not valid for this application (/)\n"},
      {{"1", "/p", "//", "/w", "first"},
       INVALID_INSTALL_DIR_ERROR,
       "The install directory path is not valid for this application (//)\n"},
      {{"1", "/p", "/./", "/w", "first"},
       INVALID_INSTALL_DIR_ERROR,
       "The install directory path is not valid for this application (/./)\n"},
      {{"1", "/p", "/opt/app", "w", "first"},
       INVALID_WORKING_DIR_ERROR,
       "The working directory path is not valid for this application (w)\n"},
      {{"1", "/p", "/opt/app", "/w", "first", "1", "/c", "run"},
       INVALID_CALLBACK_PATH_ERROR,
       "The callback file path is not valid for this application (run)\n"},
      {{"1", "/p", "/opt/app", "/w", "first", "1", "/c", "/opt/other/run"},
       CALLBACK_NOT_IN_INSTALL_DIR_ERROR,
       "The callback file must be located in the installation directory (/opt/other/run)\n"},
      // Only a path below the installation passes, not one that merely shares its first bytes.
      {{"1", "/p", "/opt/app", "/w", "first", "1", "/c", "/opt/appx/run"},
       CALLBACK_NOT_IN_INSTALL_DIR_ERROR,
       "The callback file must be located in the installation directory (/opt/appx/run)\n"},
      {{"1", "/p", "/opt/app/", "/w", "first", "1", "/c", "/opt/appx/run"},
       CALLBACK_NOT_IN_INSTALL_DIR_ERROR,
       "The callback file must be located in the installation directory (/opt/appx/run)\n"},
      {{"1", "/p", "/opt/app", "/w", "first", "1", "/c", "/opt/app/"},
       CALLBACK_NOT_IN_INSTALL_DIR_ERROR,
       "The callback file must be located in the installation directory (/opt/app/)\n"},
      {{"1", "/p", "/opt/app", "/w", "first", "1", "/c", "/opt/app"},
       CALLBACK_NOT_IN_INSTALL_DIR_ERROR,
       "The callback file must be located in the installation directory (/opt/app)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    const CommandLine line = parse(c.args);
    EXPECT_FALSE(line.accepted());
    EXPECT_EQ(line.status, c.status);
    EXPECT_EQ(line.error, c.error);
  }
}

TEST(ParseCommandLine, LongArgumentInMessageWhole) {
  const std::string install = "/" + std::string(5000, 'i');
  const CommandLine line = parse({"1", "/p", install, "/w", "first"});
  EXPECT_EQ(line.status, INVALID_INSTALL_DIR_ERROR);
  EXPECT_EQ(line.error, "The install directory path is not valid for this application (" + install + ")\n");
}

// Real folders: which working folders a staged update refuses. Emptying it must never
// reach the installation or the archive, and the copy must never run into itself.
TEST(ParseCommandLine, StagedWorkingDirectory) {
  TempDir root;
  const std::string install = root / "app";
  const std::string patch = root / "app/updates/0";
  ASSERT_EQ(::mkdir(install.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((install + "/updates").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(patch.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((root / "elsewhere").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(install.c_str(), (root / "link-to-app").c_str()), 0);
  ASSERT_EQ(::symlink(root.path().c_str(), (root / "elsewhere/link-to-root").c_str()), 0);

  const struct {
    std::string work;
    bool accepted;
  } cases[] = {
      {install + "/updated", true},
      {install + "/updated/", true},
      {install + "/updated/deeper", true},
      {install + "/UPDATED", true},  // the copy leaves it out too: it compares ignoring case
      {root / "elsewhere/work", true},
      {root / "fresh", true},
      {patch + "/work", true},
      {"/", false},
      {"//", false},
      {install, false},
      {install + "/", false},
      {install + "/.", false},
      {root.path(), false},
      {root / "app/updates", false},
      {patch, false},
      {install + "/lib", false},
      {install + "/updated-not", false},
      {install + "/updatedx/y", false},
      {root / "link-to-app", false},
      {root / "link-to-app/sub", false},
      {root / "elsewhere/link-to-root/app", false},
      {root / "elsewhere/link-to-root/new", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.work);
    const CommandLine staged = parse({"1", patch, install, c.work, "first", "-1"});
    EXPECT_EQ(staged.accepted(), c.accepted) << staged.error;
    if (!c.accepted) {
      EXPECT_EQ(staged.status, INVALID_WORKING_DIR_ERROR);
      EXPECT_EQ(staged.error, "The working directory path is not valid for this application (" + c.work + ")\n");
    }
    // Neither a normal update nor a replace request empties the working folder.
    EXPECT_TRUE(parse({"1", patch, install, c.work, "first", "1"}).accepted());
    EXPECT_TRUE(parse({"1", patch, install, c.work, "first", "/replace"}).accepted());
  }
}

TEST(ResolvedPath, LinksResolvedAndTheRestAsWritten) {
  TempDir root;
  const std::string real = resolved_path(root.path().c_str());
  ASSERT_EQ(::mkdir((root / "a").c_str(), 0755), 0);
  ASSERT_EQ(::symlink((root / "a").c_str(), (root / "l").c_str()), 0);
  ASSERT_EQ(::symlink((root / "nowhere").c_str(), (root / "dangling").c_str()), 0);
  EXPECT_EQ(resolved_path("/"), "/");
  EXPECT_EQ(resolved_path("//./"), "/");
  EXPECT_EQ(resolved_path((root / "l/x/./y//").c_str()), real + "/a/x/y");
  EXPECT_EQ(resolved_path((root / "./a/").c_str()), real + "/a");
  EXPECT_EQ(resolved_path((root / "dangling/z").c_str()), real + "/dangling/z");
}

TEST(PathWithin, Table) {
  EXPECT_TRUE(path_within("/opt/app", "/opt/app"));
  EXPECT_TRUE(path_within("/opt/app/x", "/opt/app"));
  EXPECT_TRUE(path_within("/anything", "/"));
  EXPECT_TRUE(path_within("/", "/"));
  EXPECT_FALSE(path_within("/opt/appx", "/opt/app"));
  EXPECT_FALSE(path_within("/opt", "/opt/app"));
  EXPECT_FALSE(path_within("/", "/opt"));
}

}  // namespace
