// Reads, writes and folder creation inside a folder tree without following links.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ntcp2_net/files.h"
#include "ntcp2_net/glue.h"
#include "test_util.h"

using ntcp2_net_test::glue_error;
using ntcp2_net_test::len32;
using ntcp2_net_test::read_text_file;
using ntcp2_net_test::TempDir;
using ntcp2_net_test::u8;
using ntcp2_net_test::write_text_file;

namespace {

std::int32_t mkdir_below(const std::string& base, const std::string& rel) {
  return ondrel_i2p_net_mkdir_below(u8(base), len32(base), u8(rel), len32(rel));
}
std::int32_t write_below(const std::string& base, const std::string& rel, std::int64_t offset,
                         const std::string& data) {
  return ondrel_i2p_net_write_file_below(u8(base), len32(base), u8(rel), len32(rel), offset, u8(data), len32(data));
}
// The bytes read, or "<-1>" on failure.
std::string read_below(const std::string& base, const std::string& rel, std::int64_t offset, std::int32_t capacity) {
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(capacity) + 1);
  const std::int32_t n =
      ondrel_i2p_net_read_file_below(u8(base), len32(base), u8(rel), len32(rel), offset, buf.data(), capacity);
  if (n < 0) return "<-1>";
  return std::string(reinterpret_cast<const char*>(buf.data()), static_cast<std::size_t>(n));
}

bool exists_no_follow(const std::string& p) {
  struct stat st {};
  return lstat(p.c_str(), &st) == 0;
}

}  // namespace

TEST(FilesBelow, CreateWriteReadAndNeverTruncate) {
  TempDir tmp;
  ASSERT_EQ(mkdir_below(tmp.path(), "t/x/y"), 0);
  ASSERT_EQ(mkdir_below(tmp.path(), "t/x/y"), 0);  // existing folders are success
  ASSERT_EQ(write_below(tmp.path(), "t/x/y/f.bin", 3, "HEAD"), 0);
  EXPECT_EQ(read_text_file(tmp / "t/x/y/f.bin"), std::string(3, '\0') + "HEAD");
  ASSERT_EQ(write_below(tmp.path(), "t/x/y/f.bin", 0, "ab"), 0);
  EXPECT_EQ(read_text_file(tmp / "t/x/y/f.bin"), std::string("ab\0HEAD", 7));
  EXPECT_EQ(read_below(tmp.path(), "t/x/y/f.bin", 2, 100), std::string("\0HEAD", 5));
  EXPECT_EQ(read_below(tmp.path(), "t/x/y/f.bin", 7, 4), "");
  struct stat st {};
  ASSERT_EQ(stat((tmp / "t/x/y/f.bin").c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);
  // The C++ forms name the whole path in their texts.
  std::array<std::uint8_t, 4> buf{};
  auto got = ntcp2_net::read_file_below(tmp.path(), "t/x/y/f.bin", 3, buf);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, 4u);
  auto missing = ntcp2_net::read_file_below(tmp.path(), "t/nope", 0, buf);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().message(),
            "read_file_at(" + tmp.path() + "/t/nope) failed: " + std::string(std::strerror(ENOENT)));
}

TEST(FilesBelow, WriteNeedsItsFoldersAndABaseThatExists) {
  TempDir tmp;
  EXPECT_EQ(write_below(tmp.path(), "no/such/f", 0, "x"), -1);
  EXPECT_EQ(glue_error(), std::strerror(ENOENT));
  EXPECT_FALSE(exists_no_follow(tmp / "no"));
  EXPECT_EQ(mkdir_below(tmp / "missing", "a"), -1);
  EXPECT_EQ(glue_error(), std::strerror(ENOENT));
  write_text_file(tmp / "file", "x");
  EXPECT_EQ(mkdir_below(tmp.path(), "file/sub"), -1);
  EXPECT_EQ(glue_error(), std::strerror(ENOTDIR));
  EXPECT_EQ(read_text_file(tmp / "file"), "x");
}

TEST(FilesBelow, TheBaseMayBeALink) {
  TempDir tmp;
  ASSERT_EQ(mkdir((tmp / "real").c_str(), 0755), 0);
  ASSERT_EQ(symlink((tmp / "real").c_str(), (tmp / "dl").c_str()), 0);
  ASSERT_EQ(mkdir_below(tmp / "dl", "t"), 0);
  ASSERT_EQ(write_below(tmp / "dl", "t/f", 0, "data"), 0);
  EXPECT_EQ(read_text_file(tmp / "real/t/f"), "data");
  EXPECT_EQ(read_below(tmp / "dl", "t/f", 0, 10), "data");
}

TEST(FilesBelow, LinksInsideTheTreeAreRefused) {
  TempDir tmp;
  TempDir outside;
  write_text_file(outside / "victim", "precious");
  ASSERT_EQ(mkdir_below(tmp.path(), "t"), 0);
  // A folder link inside the tree that leads outside it.
  ASSERT_EQ(symlink(outside.path().c_str(), (tmp / "t/sub").c_str()), 0);
  // A file link and a dangling link.
  ASSERT_EQ(symlink((outside / "victim").c_str(), (tmp / "t/file").c_str()), 0);
  ASSERT_EQ(symlink((outside / "new").c_str(), (tmp / "t/dangling").c_str()), 0);
  // A link as the first segment below the base.
  ASSERT_EQ(symlink(outside.path().c_str(), (tmp / "u").c_str()), 0);

  for (const char* rel : {"t/sub/victim", "t/file", "t/dangling", "u/victim", "t/sub/deeper/x"}) {
    EXPECT_EQ(write_below(tmp.path(), rel, 0, "evil"), -1) << rel;
    EXPECT_EQ(glue_error(), "symbolic link refused") << rel;
    EXPECT_EQ(read_below(tmp.path(), rel, 0, 16), "<-1>") << rel;
    EXPECT_EQ(glue_error(), "symbolic link refused") << rel;
  }
  EXPECT_EQ(mkdir_below(tmp.path(), "t/sub/deeper"), -1);
  EXPECT_EQ(glue_error(), "symbolic link refused");
  EXPECT_EQ(mkdir_below(tmp.path(), "u"), -1);
  // Nothing outside changed or appeared.
  EXPECT_EQ(read_text_file(outside / "victim"), "precious");
  EXPECT_FALSE(exists_no_follow(outside / "new"));
  EXPECT_FALSE(exists_no_follow(outside / "deeper"));
  const std::vector<std::string> left = [&] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(outside.path())) names.push_back(e.path().filename());
    return names;
  }();
  EXPECT_EQ(left, std::vector<std::string>{"victim"});
}

TEST(FilesBelow, AFifoNeverMakesTheCallWait) {
  TempDir tmp;
  ASSERT_EQ(mkfifo((tmp / "pipe").c_str(), 0644), 0);
  // Without a reader a write-open fails at once; a read-open succeeds but is refused.
  EXPECT_EQ(write_below(tmp.path(), "pipe", 0, "x"), -1);
  EXPECT_EQ(read_below(tmp.path(), "pipe", 0, 4), "<-1>");
  EXPECT_EQ(glue_error(), "not a regular file");
  ASSERT_EQ(mkdir_below(tmp.path(), "d"), 0);
  EXPECT_EQ(write_below(tmp.path(), "d", 0, "x"), -1);  // a folder is no file either
}

TEST(FilesBelow, ArgumentTable) {
  TempDir tmp;
  ASSERT_EQ(mkdir_below(tmp.path(), "a/b"), 0);
  const std::string base_1020(1020, 'b');
  const std::vector<std::pair<std::string, std::string>> bad = {
      {tmp.path(), ""},       {tmp.path(), "/a"},
      {tmp.path(), "a/"},     {tmp.path(), "a//b"},
      {tmp.path(), ".."},     {tmp.path(), "a/.."},
      {tmp.path(), "./a"},    {tmp.path(), "a/./b"},
      {tmp.path(), "../etc"}, {"", "a"},
      {base_1020, "abc"},     {tmp.path(), std::string("a\0b", 3)},
  };
  for (const auto& [base, rel] : bad) {
    EXPECT_EQ(mkdir_below(base, rel), -1) << rel;
    EXPECT_EQ(glue_error(), "invalid below-path arguments") << rel;
    EXPECT_EQ(write_below(base, rel, 0, "x"), -1) << rel;
    EXPECT_EQ(glue_error(), "invalid below-path arguments") << rel;
    EXPECT_EQ(read_below(base, rel, 0, 1), "<-1>") << rel;
  }
  // "..." and names holding dots are ordinary names.
  EXPECT_EQ(mkdir_below(tmp.path(), "a/.../..x"), 0);
  EXPECT_EQ(write_below(tmp.path(), "a/b/f", -1, "x"), -1);
  EXPECT_EQ(glue_error(), "invalid write_file_at arguments");
  EXPECT_EQ(read_below(tmp.path(), "a/b/f", -1, 1), "<-1>");
  EXPECT_EQ(glue_error(), "invalid read_file_at arguments");
  // base + "/" + rel of exactly 1,023 bytes is taken (and fails only in the system).
  std::string base_1000 = tmp.path();
  while (base_1000.size() < 1000) {
    base_1000.push_back('/');
    base_1000.append(std::min<std::size_t>(200, 1000 - base_1000.size()), 'd');
  }
  ASSERT_EQ(base_1000.size(), 1000u);
  EXPECT_EQ(mkdir_below(base_1000, std::string(22, 'r')), -1);
  EXPECT_EQ(glue_error(), std::strerror(ENOENT));
}
