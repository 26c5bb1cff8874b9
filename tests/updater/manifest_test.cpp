// The manifest and precomplete grammars, and the expansion of "rmrfdir".
#include "updater/manifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "action_test_util.h"
#include "test_util.h"

using updater_test::describe_all;
using updater_test::log_text;
using updater_test::ScopedLog;
using updater_test::TempDir;
using updater_test::write_file;

namespace {

struct Parsed {
  UpdaterError result;
  std::vector<std::string> actions;
  std::string log;  // the log lines' texts, without their time fields
};

// Strips the time field of every log line.
std::string log_messages(const std::string& text) {
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    const std::size_t sep = line.find(": ");
    out += (sep == std::string::npos ? line : line.substr(sep + 2)) + "\n";
    at = end + 1;
  }
  return out;
}

Parsed parse(const TempDir& dir, std::string manifest) {
  ScopedLog log(dir / "update.log");
  ActionContext context{dir / "base", dir.path(), false, 0};
  ActionList list;
  Parsed p;
  p.result = parse_manifest(manifest.data(), context, &list);
  p.actions = describe_all(list, context.base_dir);
  p.log = log_messages(log_text());
  return p;
}

TEST(Manifest, Grammar) {
  struct Case {
    const char* name;
    std::string manifest;
    const char* precomplete;  // null: no precomplete file
    UpdaterError result;
    std::vector<std::string> actions;
    std::string log;
  };
  const Case cases[] = {
      {"every keyword, CRLF and CR line ends, leading blanks, comments",
       "# comment\r\nremove \"r\"\r\n\t rmdir \"d/\"\radd \"a/b\"\n\n#x\nadd-if \"t\" \"ai\"\n"
       "add-if-not \"t\" \"ain\"\npatch \"p.patch\" \"f\"\npatch-if \"t\" \"q.patch\" \"g\"\n",
       nullptr,
       OK,
       {"remove r", "rmdir d/", "add a/b", "add-if t ai", "add-if-not t ain", "patch p.patch f",
        "patch-if t q.patch g"},
       ""},
      {"complete: precomplete removals first",
       "type \"complete\"\nadd \"b\"\n",
       "remove \"a\"\n# note\nremove-cc \"c\"\n  rmdir \"d/\"\n",
       OK,
       {"remove a", "remove c", "rmdir d/", "add b"},
       "UPDATE TYPE complete\n"},
      {"complete after comments",
       "# first\n\ntype \"complete\"\nadd \"b\"\n",
       "remove \"a\"\n",
       OK,
       {"remove a", "add b"},
       "UPDATE TYPE complete\n"},
      {"partial: no precomplete",
       "type \"partial\"\nadd \"b\"\n",
       "remove \"a\"\n",
       OK,
       {"add b"},
       "UPDATE TYPE partial\n"},
      {"type without a value is not complete", "type\nadd \"b\"\n", "remove \"a\"\n", OK, {"add b"}, "UPDATE TYPE \n"},
      {"type with empty quotes is not complete",
       "type \"\"\nadd \"b\"\n",
       "remove \"a\"\n",
       OK,
       {"add b"},
       "UPDATE TYPE \n"},
      {"unreadable precomplete",
       "type \"complete\"\nadd \"b\"\n",
       nullptr,
       OK,
       {"add b"},
       "UPDATE TYPE complete\nGetManifestContents: error opening manifest file: BASE/precomplete\n"
       "AddPreCompleteActions: error getting contents of precomplete manifest\n"},
      {"second type line",
       "type \"partial\"\ntype \"complete\"\n",
       nullptr,
       PARSE_ERROR,
       {},
       "UPDATE TYPE partial\nDoUpdate: unknown token: type\n"},
      {"type after an action",
       "add \"b\"\ntype \"complete\"\n",
       nullptr,
       PARSE_ERROR,
       {},
       "DoUpdate: unknown token: type\n"},
      {"remove-cc in the manifest",
       "remove-cc \"a\"\n",
       nullptr,
       PARSE_ERROR,
       {},
       "DoUpdate: unknown token: remove-cc\n"},
      {"comment behind blanks is a keyword", "  # no\n", nullptr, PARSE_ERROR, {}, "DoUpdate: unknown token: #\n"},
      {"comments and empty lines only", "# a\n\n\r\n#b", nullptr, NO_ACTIONS_ERROR, {}, "empty action list\n"},
      {"empty manifest", "", nullptr, NO_ACTIONS_ERROR, {}, "empty action list\n"},
      {"a line of blanks", "add \"b\"\n \t \n", nullptr, PARSE_ERROR, {}, "DoUpdate: token not found in manifest\n"},
      {"rmdir without trailing slash",
       "rmdir \"dir\"\n",
       nullptr,
       PARSE_ERROR,
       {},
       "get_valid_path: directory paths must have a trailing forward slash: dir\n"},
      {"rmrfdir without trailing slash", "rmrfdir \"dir\"\n", nullptr, PARSE_ERROR, {}, ""},
      {"rmrfdir without argument", "rmrfdir\n", nullptr, PARSE_ERROR, {}, ""},
      {"add without argument", "add\n", nullptr, PARSE_ERROR, {}, "get_valid_path: unable to determine path: (null)\n"},
      {"add of an absolute path",
       "add \"/etc/passwd\"\n",
       nullptr,
       PARSE_ERROR,
       {},
       "get_valid_path: path must be relative: /etc/passwd\n"},
      {"add with ..",
       "add \"a/../../b\"\n",
       nullptr,
       PARSE_ERROR,
       {},
       "get_valid_path: paths must not contain '..': a/../../b\n"},
      {"add-if without file path", "add-if \"t\"\n", nullptr, PARSE_ERROR, {}, ""},
      {"add-if without second quote", "add-if \"t\" y\n", nullptr, PARSE_ERROR, {}, ""},
      {"patch without file path", "patch \"p\"\n", nullptr, PARSE_ERROR, {}, ""},
      {"patch texts not separated", "patch \"p\"\"f\"\n", nullptr, PARSE_ERROR, {}, ""},
      {"patch without closing quote", "patch \"p\n", nullptr, PARSE_ERROR, {}, ""},
      {"patch-if without rest", "patch-if \"t\"\n", nullptr, PARSE_ERROR, {}, ""},
      {"unknown precomplete keyword",
       "type \"complete\"\nadd \"b\"\n",
       "add \"x\"\n",
       PARSE_ERROR,
       {},
       "UPDATE TYPE complete\nAddPreCompleteActions: unknown token: add\n"},
      {"precomplete line of blanks",
       "type \"complete\"\nadd \"b\"\n",
       "remove \"a\"\n   \n",
       PARSE_ERROR,
       {},
       "UPDATE TYPE complete\nAddPreCompleteActions: token not found in manifest\n"},
      {"bad precomplete path",
       "type \"complete\"\nadd \"b\"\n",
       "remove \"../x\"\n",
       PARSE_ERROR,
       {},
       "UPDATE TYPE complete\nget_valid_path: paths must not contain '..': ../x\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "base").c_str(), 0755), 0);
    if (c.precomplete != nullptr) {
      ASSERT_TRUE(write_file(dir / "base/precomplete", c.precomplete));
    }
    Parsed p = parse(dir, c.manifest);
    EXPECT_EQ(p.result, c.result);
    EXPECT_EQ(p.actions, c.actions);
    std::string expected_log = c.log;
    for (std::size_t at; (at = expected_log.find("BASE")) != std::string::npos;) {
      expected_log.replace(at, 4, dir / "base");
    }
    EXPECT_EQ(p.log, expected_log);
  }
}

// A path of 4,096 bytes or more does not fit the actions' path field.
TEST(Manifest, OverlongPathIsRefused) {
  TempDir dir;
  Parsed ok = parse(dir, "add \"" + std::string(4095, 'a') + "\"\n");
  EXPECT_EQ(ok.result, OK);
  Parsed refused = parse(dir, "add \"" + std::string(4096, 'a') + "\"\n");
  EXPECT_EQ(refused.result, PARSE_ERROR);
}

std::size_t index_of(const std::vector<std::string>& v, const std::string& s) {
  return static_cast<std::size_t>(std::find(v.begin(), v.end(), s) - v.begin());
}

// Files (links of every kind included, never followed) before their folder, every folder
// after its contents, the walked folder last.
TEST(Manifest, RmrfdirWalk) {
  TempDir dir;
  TempDir outside;
  ASSERT_TRUE(write_file(outside / "kept", "kept"));
  ASSERT_EQ(::mkdir((dir / "base").c_str(), 0755), 0);
  for (const char* d : {"base/dir", "base/dir/sub", "base/dir/sub/deeper", "base/dir/empty"}) {
    ASSERT_EQ(::mkdir((dir / d).c_str(), 0755), 0);
  }
  ASSERT_TRUE(write_file(dir / "base/dir/a", "a"));
  ASSERT_TRUE(write_file(dir / "base/dir/sub/b", "b"));
  ASSERT_TRUE(write_file(dir / "base/dir/sub/deeper/c", "c"));
  ASSERT_EQ(::symlink(outside.path().c_str(), (dir / "base/dir/sub/to-folder").c_str()), 0);
  ASSERT_EQ(::symlink("gone", (dir / "base/dir/dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "base/dir/fifo").c_str(), 0644), 0);

  Parsed p = parse(dir, "add \"first\"\nrmrfdir \"dir/\"\nrmrfdir \"missing/\"\nadd \"last\"\n");
  ASSERT_EQ(p.result, OK) << p.log;
  std::vector<std::string> expected = {"add first",
                                       "remove dir/a",
                                       "remove dir/sub/b",
                                       "remove dir/sub/deeper/c",
                                       "remove dir/sub/to-folder",
                                       "remove dir/dangling",
                                       "remove dir/fifo",
                                       "rmdir dir/sub/deeper/",
                                       "rmdir dir/sub/",
                                       "rmdir dir/empty/",
                                       "rmdir dir/",
                                       "add last"};
  std::vector<std::string> sorted_actions = p.actions, sorted_expected = expected;
  std::sort(sorted_actions.begin(), sorted_actions.end());
  std::sort(sorted_expected.begin(), sorted_expected.end());
  EXPECT_EQ(sorted_actions, sorted_expected);
  const auto& a = p.actions;
  EXPECT_EQ(a.front(), "add first");
  EXPECT_EQ(a.back(), "add last");
  EXPECT_EQ(a[a.size() - 2], "rmdir dir/");
  EXPECT_LT(index_of(a, "remove dir/sub/b"), index_of(a, "rmdir dir/sub/"));
  EXPECT_LT(index_of(a, "remove dir/sub/to-folder"), index_of(a, "rmdir dir/sub/"));
  EXPECT_LT(index_of(a, "remove dir/sub/deeper/c"), index_of(a, "rmdir dir/sub/deeper/"));
  EXPECT_LT(index_of(a, "rmdir dir/sub/deeper/"), index_of(a, "rmdir dir/sub/"));
}

// The walk refuses an entry whose path does not fit the actions' path field, although
// its folder can still be opened.
TEST(Manifest, RmrfdirOverlongEntryFails) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "base").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir / "base/dir").c_str(), 0755), 0);
  const std::string base = dir / "base";
  const std::string folder = updater_test::path_of_length(base + "/dir", base.size() + 1 + 3850, "");
  ASSERT_EQ(folder.size(), base.size() + 1 + 3850);
  // The file's own path is past what the kernel takes whole: create it from its folder.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  const int file = ::openat(fd, std::string(250, 'f').c_str(), O_WRONLY | O_CREAT, 0600);
  EXPECT_GE(file, 0);
  ::close(file);
  ::close(fd);
  Parsed p = parse(dir, "rmrfdir \"dir/\"\n");
  EXPECT_EQ(p.result, PARSE_ERROR);
  EXPECT_TRUE(p.actions.empty());
  EXPECT_NE(p.log.find("get_valid_path: path too long: "), std::string::npos) << p.log;
}

}  // namespace
