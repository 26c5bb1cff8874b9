#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest-spi.h>
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

bool is_dir(const std::string& p) {
  struct stat st {};
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A file of the given size without its blocks on disk.
bool make_sparse(const std::string& path, off_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = ftruncate(fd, size) == 0;
  close(fd);
  return ok;
}

std::int32_t list(const std::string& dir, std::uint8_t* buf, std::int32_t cap) {
  return ondrel_i2p_net_list_dir(u8(dir), len32(dir), buf, cap);
}

}  // namespace

// ---- mkdir_p ----------------------------------------------------------------------

TEST(MkdirP, CreatesParentsAndAcceptsExisting) {
  TempDir tmp;
  const std::string deep = tmp / "a/b/c";
  ASSERT_TRUE(ntcp2_net::mkdir_p(deep).has_value());
  EXPECT_TRUE(is_dir(tmp / "a") && is_dir(tmp / "a/b") && is_dir(deep));
  struct stat st {};
  ASSERT_EQ(stat(deep.c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0755 & ~mask);

  EXPECT_TRUE(ntcp2_net::mkdir_p(deep).has_value());          // exists already
  EXPECT_TRUE(ntcp2_net::mkdir_p(tmp / "x/y/").has_value());  // trailing slash
  EXPECT_TRUE(is_dir(tmp / "x/y"));
  EXPECT_TRUE(ntcp2_net::mkdir_p(tmp / "p//q").has_value());  // doubled slash
  EXPECT_TRUE(is_dir(tmp / "p/q"));
  EXPECT_TRUE(ntcp2_net::mkdir_p("/").has_value());
}

TEST(MkdirP, RelativePath) {
  TempDir tmp;
  // Relative to the working directory: run it from inside the temporary folder.
  char old_cwd[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof(old_cwd)), nullptr);
  ASSERT_EQ(chdir(tmp.path().c_str()), 0);
  auto r = ntcp2_net::mkdir_p("rel/one");
  ASSERT_EQ(chdir(old_cwd), 0);
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(is_dir(tmp / "rel/one"));
}

TEST(MkdirP, LastComponentIsAFile) {
  TempDir tmp;
  const std::string file = tmp / "plain";
  write_text_file(file, "data");
  for (const std::string& path : {file, file + "/"}) {
    auto r = ntcp2_net::mkdir_p(path);
    ASSERT_FALSE(r.has_value()) << path;
    EXPECT_TRUE(r.error().is(NetError::Io));
    EXPECT_EQ(r.error().message(), "mkdir_p(" + path + ") failed: " + std::strerror(ENOTDIR));
  }
  EXPECT_EQ(read_text_file(file), "data");  // untouched
}

TEST(MkdirP, ParentIsAFile) {
  TempDir tmp;
  write_text_file(tmp / "plain", "data");
  const std::string path = tmp / "plain/sub/dir";
  auto r = ntcp2_net::mkdir_p(path);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "mkdir_p(" + path + ") failed: " + std::strerror(ENOTDIR));
}

TEST(MkdirP, BadLengths) {
  auto empty = ntcp2_net::mkdir_p("");
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().message(), "mkdir_p() failed: invalid directory path length");

  TempDir tmp;
  std::string longest = tmp.path() + "/";
  longest += std::string(1023 - longest.size(), 'd');  // 1,023 bytes: the limit, one component
  ASSERT_EQ(longest.size(), 1023u);
  auto at_limit = ntcp2_net::mkdir_p(longest);
  // A component this long exceeds NAME_MAX: the system refuses it, not the length check.
  ASSERT_FALSE(at_limit.has_value());
  EXPECT_EQ(at_limit.error().message(), "mkdir_p(" + longest + ") failed: " + std::strerror(ENAMETOOLONG));

  auto too_long = ntcp2_net::mkdir_p(longest + "d");
  ASSERT_FALSE(too_long.has_value());
  EXPECT_EQ(too_long.error().message(), "mkdir_p(" + longest + "d) failed: invalid directory path length");
}

TEST(MkdirP, EmbeddedNulIsRefused) {
  TempDir tmp;
  std::string path = tmp / "a";
  path.push_back('\0');
  path += "b";
  EXPECT_EQ(ondrel_i2p_net_mkdir_p(u8(path), len32(path)), -1);
  EXPECT_EQ(glue_error(), "invalid directory path length");
  EXPECT_FALSE(is_dir(tmp / "a"));
}

// ---- list_dir ----------------------------------------------------------------------

TEST(ListDir, ListsEveryEntryOnceWithoutDots) {
  TempDir tmp;
  std::set<std::string> expected = {"one.dat", "two.dat", "sub"};
  write_text_file(tmp / "one.dat", "1");
  write_text_file(tmp / "two.dat", "2");
  ASSERT_TRUE(ntcp2_net::mkdir_p(tmp / "sub"));

  std::vector<std::uint8_t> buf(65536);
  std::int32_t n = list(tmp.path(), buf.data(), static_cast<std::int32_t>(buf.size()));
  ASSERT_GT(n, 0);
  std::string listing(reinterpret_cast<char*>(buf.data()), static_cast<std::size_t>(n));
  ASSERT_EQ(listing.back(), '\n');
  std::multiset<std::string> names;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) names.insert(line);
  EXPECT_EQ(names, std::multiset<std::string>(expected.begin(), expected.end()));
}

TEST(ListDir, StopsBeforeTheFirstNameThatDoesNotFit) {
  TempDir tmp;
  write_text_file(tmp / "abcd", "");
  write_text_file(tmp / "efgh", "");
  std::uint8_t buf[16];
  std::memset(buf, '#', sizeof(buf));
  EXPECT_EQ(list(tmp.path(), buf, 4), 0);  // "abcd\n" needs 5
  EXPECT_EQ(buf[0], '#');
  EXPECT_EQ(list(tmp.path(), buf, 5), 5);  // the first name exactly
  EXPECT_EQ(list(tmp.path(), buf, 9), 5);  // the second does not fit
  EXPECT_EQ(list(tmp.path(), buf, 10), 10);
  EXPECT_EQ(list(tmp.path(), buf, 16), 10);
}

TEST(ListDir, EmptyFolderAndErrors) {
  TempDir tmp;
  std::uint8_t buf[64];
  EXPECT_EQ(list(tmp.path(), buf, sizeof(buf)), 0);

  EXPECT_EQ(list(tmp / "missing", buf, sizeof(buf)), -1);
  EXPECT_EQ(glue_error(), std::strerror(ENOENT));

  EXPECT_EQ(list(tmp.path(), buf, 0), -1);
  EXPECT_EQ(glue_error(), "invalid list_dir arguments");
  EXPECT_EQ(list("", buf, sizeof(buf)), -1);
  EXPECT_EQ(glue_error(), "invalid list_dir arguments");
  EXPECT_EQ(list(std::string(1024, 'a'), buf, sizeof(buf)), -1);
  EXPECT_EQ(glue_error(), "invalid list_dir arguments");
}

TEST(ListDir, PackageListingGivesTheNames) {
  TempDir tmp;
  write_text_file(tmp / "one.dat", "1");
  write_text_file(tmp / "caf\xC3\xA9.dat", "2");
  ASSERT_TRUE(ntcp2_net::mkdir_p(tmp / "sub"));
  auto names = ntcp2_net::list_dir(tmp.path());
  ASSERT_TRUE(names) << to_string(names.error());
  EXPECT_EQ(std::multiset<std::string>(names->begin(), names->end()),
            (std::multiset<std::string>{"one.dat", "caf\xC3\xA9.dat", "sub"}));

  auto empty = ntcp2_net::list_dir((tmp / "sub"));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());

  auto missing = ntcp2_net::list_dir(tmp / "missing");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().is(NetError::Io));
  EXPECT_EQ(missing.error().message(), "opendir(" + (tmp / "missing") + ") failed: " + std::strerror(ENOENT));
}

// A reference file that is missing fails the test that wanted it, with its name, and gives
// no bytes: it never crashes the test binary.
TEST(TestData, AMissingFileFailsTheTestWithItsName) {
  Bytes bytes = {1};
  EXPECT_NONFATAL_FAILURE(bytes = test_support::read_test_data("routerinfo/no-such-file.dat"),
                          "cannot read file " + test_support::test_data_path("routerinfo/no-such-file.dat"));
  EXPECT_TRUE(bytes.empty());
  EXPECT_FALSE(test_support::read_test_data("routerinfo/ff-127.0.0.2.dat").empty());
}

// ---- whole-file reads --------------------------------------------------------------

TEST(ReadFileBytes, WholeFileAndEmptyFile) {
  TempDir tmp;
  Bytes content = ntcp2_net_test::pattern_bytes(70000);
  write_text_file(tmp / "f.bin", std::string(content.begin(), content.end()));
  auto r = ntcp2_net::read_file_bytes(tmp / "f.bin");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, content);

  write_text_file(tmp / "empty", "");
  auto e = ntcp2_net::read_file_bytes(tmp / "empty");
  ASSERT_TRUE(e.has_value());
  EXPECT_TRUE(e->empty());
}

TEST(ReadFileBytes, ReadsTestdataRouterInfo) {
  // Any file of the shared test data: compare with an independent read.
  std::string dir = ONDREL_TESTDATA_DIR;
  std::uint8_t names[65536];
  std::int32_t n = list(dir, names, sizeof(names));
  ASSERT_GT(n, 0);
  std::string listing(reinterpret_cast<char*>(names), static_cast<std::size_t>(n));
  int compared = 0;
  std::istringstream lines(listing);
  for (std::string name; std::getline(lines, name) && compared < 5;) {
    std::string path = dir + "/" + name;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    auto r = ntcp2_net::read_file_bytes(path);
    ASSERT_TRUE(r.has_value()) << path;
    std::string expected = read_text_file(path);
    EXPECT_EQ(std::string(r->begin(), r->end()), expected) << path;
    ++compared;
  }
  EXPECT_GT(compared, 0);
}

TEST(ReadFileBytes, Failures) {
  TempDir tmp;
  auto missing = ntcp2_net::read_file_bytes(tmp / "missing");
  ASSERT_FALSE(missing.has_value());
  EXPECT_TRUE(missing.error().is(NetError::Io));
  EXPECT_EQ(missing.error().message(), "stat(" + (tmp / "missing") + ") failed: " + std::strerror(ENOENT));

  auto dir = ntcp2_net::read_file_bytes(tmp.path());
  if (!dir.has_value()) {  // a folder with size 0 reads as empty on some file systems
    EXPECT_EQ(dir.error().message(), "read(" + tmp.path() + ") failed: " + std::strerror(EISDIR));
  }

  auto empty = ntcp2_net::read_file_bytes("");
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().message(), "stat() failed: invalid path length");
}

TEST(ReadFileBytes, FilesBeyondThe32BitCountAreRefused) {
  TempDir tmp;
  struct Case {
    off_t size;
    bool refused;
  };
  for (Case c : {Case{(off_t{4} << 30) + 10, true}, Case{off_t{1} << 31, true}}) {
    const std::string path = tmp / "sparse";
    ASSERT_TRUE(make_sparse(path, c.size));
    EXPECT_EQ(ondrel_i2p_net_file_size(u8(path), len32(path)), -1);
    EXPECT_EQ(glue_error(), std::strerror(EOVERFLOW));
    auto r = ntcp2_net::read_file_bytes(path);
    ASSERT_FALSE(r.has_value()) << c.size;
    EXPECT_EQ(r.error().message(), "stat(" + path + ") failed: " + std::strerror(EOVERFLOW));
  }
  const std::string path = tmp / "largest";
  ASSERT_TRUE(make_sparse(path, 0x7fffffff));
  EXPECT_EQ(ondrel_i2p_net_file_size(u8(path), len32(path)), 0x7fffffff);
}

TEST(ReadFile, CapacityBoundsTheRead) {
  TempDir tmp;
  const std::string path = tmp / "f";
  write_text_file(path, "0123456789");
  std::uint8_t buf[16];
  EXPECT_EQ(ondrel_i2p_net_read_file(u8(path), len32(path), buf, 4), 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "0123");
  EXPECT_EQ(ondrel_i2p_net_read_file(u8(path), len32(path), buf, 16), 10);
  EXPECT_EQ(ondrel_i2p_net_read_file(u8(path), len32(path), buf, 0), 0);
  EXPECT_EQ(ondrel_i2p_net_read_file(u8(path), len32(path), buf, -1), -1);
  EXPECT_EQ(ondrel_i2p_net_read_file(u8(path), 0, buf, 4), -1);
  EXPECT_EQ(glue_error(), "invalid path length");
}

// ---- positioned reads and writes ---------------------------------------------------

TEST(FileAt, WriteCreatesExtendsAndNeverTruncates) {
  TempDir tmp;
  const std::string path = tmp / "pieces";
  const std::string head = "HEAD";
  ASSERT_EQ(ondrel_i2p_net_write_file_at(u8(path), len32(path), 6, u8(head), len32(head)), 0);
  EXPECT_EQ(read_text_file(path), std::string(6, '\0') + "HEAD");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);

  const std::string ab = "ab";
  ASSERT_EQ(ondrel_i2p_net_write_file_at(u8(path), len32(path), 0, u8(ab), 2), 0);
  EXPECT_EQ(read_text_file(path), std::string("ab") + std::string(4, '\0') + "HEAD");  // rest kept

  Bytes big = ntcp2_net_test::pattern_bytes(300000);
  ASSERT_EQ(ondrel_i2p_net_write_file_at(u8(path), len32(path), 100, big.data(), static_cast<std::int32_t>(big.size())),
            0);
  std::string all = read_text_file(path);
  ASSERT_EQ(all.size(), 300100u);
  EXPECT_EQ(all.substr(0, 2), "ab");
  EXPECT_TRUE(std::equal(big.begin(), big.end(), all.begin() + 100,
                         [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }));

  ASSERT_EQ(ondrel_i2p_net_write_file_at(u8(path), len32(path), 5, nullptr, 0), 0);  // nothing to write
  EXPECT_EQ(read_text_file(path).size(), 300100u);
}

TEST(FileAt, ReadFromOffsetsUpToTheEnd) {
  TempDir tmp;
  const std::string path = tmp / "f";
  write_text_file(path, "0123456789");
  std::uint8_t buf[8];
  struct Case {
    std::int64_t offset;
    std::int32_t capacity;
    std::string expected;
  };
  for (const Case& c : {Case{0, 4, "0123"}, Case{3, 5, "34567"}, Case{7, 8, "789"}, Case{10, 8, ""}, Case{1000, 8, ""},
                        Case{2, 0, ""}}) {
    std::int32_t n = ondrel_i2p_net_read_file_at(u8(path), len32(path), c.offset, buf, c.capacity);
    ASSERT_EQ(n, static_cast<std::int32_t>(c.expected.size())) << c.offset;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n)), c.expected);
  }
}

TEST(FileAt, ArgumentChecksAndSystemErrors) {
  TempDir tmp;
  const std::string path = tmp / "f";
  write_text_file(path, "x");
  std::uint8_t buf[4] = {1, 2, 3, 4};
  const std::string long_path(1024, 'p');

  EXPECT_EQ(ondrel_i2p_net_read_file_at(u8(path), len32(path), -1, buf, 4), -1);
  EXPECT_EQ(glue_error(), "invalid read_file_at arguments");
  EXPECT_EQ(ondrel_i2p_net_read_file_at(u8(path), len32(path), 0, buf, -1), -1);
  EXPECT_EQ(glue_error(), "invalid read_file_at arguments");
  EXPECT_EQ(ondrel_i2p_net_read_file_at(u8(long_path), len32(long_path), 0, buf, 4), -1);
  EXPECT_EQ(glue_error(), "invalid read_file_at arguments");
  EXPECT_EQ(ondrel_i2p_net_read_file_at(u8(path), len32(path), INT64_MAX, buf, 4), -1);
  EXPECT_EQ(glue_error(), "invalid read_file_at arguments");

  EXPECT_EQ(ondrel_i2p_net_write_file_at(u8(path), len32(path), -1, buf, 4), -1);
  EXPECT_EQ(glue_error(), "invalid write_file_at arguments");
  EXPECT_EQ(ondrel_i2p_net_write_file_at(u8(path), len32(path), 0, buf, -4), -1);
  EXPECT_EQ(glue_error(), "invalid write_file_at arguments");
  EXPECT_EQ(ondrel_i2p_net_write_file_at(u8(path), 0, 0, buf, 4), -1);
  EXPECT_EQ(glue_error(), "invalid write_file_at arguments");
  EXPECT_EQ(read_text_file(path), "x");

  const std::string missing = tmp / "missing";
  EXPECT_EQ(ondrel_i2p_net_read_file_at(u8(missing), len32(missing), 0, buf, 4), -1);
  EXPECT_EQ(glue_error(), std::strerror(ENOENT));
  const std::string in_missing_dir = tmp / "no/such/file";
  EXPECT_EQ(ondrel_i2p_net_write_file_at(u8(in_missing_dir), len32(in_missing_dir), 0, buf, 4), -1);
  EXPECT_EQ(glue_error(), std::strerror(ENOENT));
}
