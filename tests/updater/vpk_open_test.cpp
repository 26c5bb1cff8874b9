// Opening "update.vpk": the whole file read into memory, the 500 MiB limit, and the
// messages of each refusal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "tests/updater/vpk_test_util.h"
#include "updater/vpk_archive.h"

namespace updater_test {
namespace {

// A file of `size` bytes that occupies no disk: a hole with "VPK1" at its start.
bool make_sparse(const std::string& path, off_t size) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = ::write(fd, "VPK1", 4) == 4 && ::ftruncate(fd, size) == 0;
  return ::close(fd) == 0 && ok;
}

TEST(VpkOpen, ReadsTheWholeFileIntoMemory) {
  TempDir dir;
  ArchiveCloser closer;
  std::string bytes = "VPK1";
  for (int i = 0; i < 70000; ++i) bytes.push_back(static_cast<char>(i * 7));
  ASSERT_EQ(open_vpk(dir, bytes), OK);
  const VpkArchive* a = vpk_archive();
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->size, bytes.size());
  EXPECT_EQ(std::memcmp(a->data, bytes.data(), bytes.size()), 0);
  EXPECT_EQ(a->index_parsed, 0);
  EXPECT_EQ(a->ranges, nullptr);
  // Both decoding buffers exist at their full size while the archive is open.
  VpkBuffers b = vpk_buffers();
  EXPECT_NE(b.in, nullptr);
  EXPECT_NE(b.out, nullptr);
  EXPECT_EQ(b.in_size, 262144u);
  EXPECT_EQ(b.out_size, 262144u);

  vpk_close();
  EXPECT_EQ(vpk_archive(), nullptr);
  EXPECT_EQ(vpk_buffers().in, nullptr);
  vpk_close();  // closing a closed holder does nothing
  EXPECT_EQ(vpk_archive(), nullptr);
}

TEST(VpkOpen, AnEmptyFileOpensWithSizeZero) {
  TempDir dir;
  ArchiveCloser closer;
  ASSERT_EQ(open_vpk(dir, ""), OK);
  ASSERT_NE(vpk_archive(), nullptr);
  EXPECT_EQ(vpk_archive()->size, 0u);
}

TEST(VpkOpen, OpeningAgainReplacesTheOpenArchive) {
  TempDir a;
  TempDir b;
  ArchiveCloser closer;
  ASSERT_EQ(open_vpk(a, "first archive"), OK);
  ASSERT_EQ(open_vpk(b, "second"), OK);
  ASSERT_EQ(vpk_archive()->size, 6u);
  EXPECT_EQ(std::memcmp(vpk_archive()->data, "second", 6), 0);
}

TEST(VpkOpen, AMissingFileIsAReadErrorWithTheSystemMessage) {
  TempDir dir;
  ArchiveCloser closer;
  StderrCapture err;
  EXPECT_EQ(vpk_open(dir.path().c_str()), READ_ERROR);
  EXPECT_EQ(err.text(),
            cat("ERROR: could not open file in vpk_open()\n", dir / "update.vpk", ": No such file or directory\n"));
  EXPECT_EQ(vpk_archive(), nullptr);
}

TEST(VpkOpen, APatchDirectoryTooLongForThePathIsRefused) {
  ArchiveCloser closer;
  std::string dir = cat("/", std::string(4090, 'd'));
  StderrCapture err;
  EXPECT_EQ(vpk_open(dir.c_str()), READ_ERROR);
  std::string text = err.text();
  EXPECT_EQ(text.rfind("ERROR: could not open file in vpk_open()\n", 0), 0u) << text;
  EXPECT_NE(text.find("File name too long"), std::string::npos) << text;
}

// The limit is 500 MiB exactly: a file of that size opens, one byte more is refused
// before anything is allocated. Both files are sparse.
TEST(VpkOpen, FiveHundredMebibytesOpenOneByteMoreIsRefused) {
  TempDir dir;
  ArchiveCloser closer;
  ASSERT_TRUE(make_sparse(dir / "update.vpk", static_cast<off_t>(kVpkMaxSize) + 1));
  {
    StderrCapture err;
    EXPECT_EQ(vpk_open(dir.path().c_str()), READ_ERROR);
    EXPECT_EQ(err.text(), "ERROR: VPK exceeds maximum size (524288001)\n");
    EXPECT_EQ(vpk_archive(), nullptr);
  }
  ASSERT_TRUE(make_sparse(dir / "update.vpk", static_cast<off_t>(kVpkMaxSize)));
  ASSERT_EQ(vpk_open(dir.path().c_str()), OK);
  ASSERT_NE(vpk_archive(), nullptr);
  EXPECT_EQ(vpk_archive()->size, kVpkMaxSize);
  EXPECT_EQ(std::memcmp(vpk_archive()->data, "VPK1\0\0\0\0", 8), 0);
  EXPECT_EQ(vpk_archive()->data[kVpkMaxSize - 1], 0);
}

// A pipe has no size: up to 500 MiB are read from it, after a warning.
TEST(VpkOpen, AFileOfUnknownSizeIsReadAfterAWarning) {
  TempDir dir;
  ArchiveCloser closer;
  const std::string fifo = dir / "update.vpk";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string bytes = "VPK1 from a pipe";
  UpdaterError rv = -1;
  std::string text;
  {
    StderrCapture err;
    std::jthread writer([&] {
      int fd = ::open(fifo.c_str(), O_WRONLY);
      if (fd < 0) return;
      (void)!::write(fd, bytes.data(), bytes.size());
      ::close(fd);
    });
    rv = vpk_open(dir.path().c_str());
    // Had the archive not been opened, the writer would still wait for a reader: give it one.
    const int unblock = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    writer.join();
    if (unblock >= 0) ::close(unblock);
    text = err.text();
  }
  EXPECT_EQ(rv, OK);
  EXPECT_EQ(text, "Warning: VPK size could not be determined\n");
  ASSERT_NE(vpk_archive(), nullptr);
  ASSERT_EQ(vpk_archive()->size, bytes.size());
  EXPECT_EQ(std::memcmp(vpk_archive()->data, bytes.data(), bytes.size()), 0);
}

TEST(VpkOpen, ADirectoryNamedUpdateVpkIsAReadError) {
  TempDir dir;
  ArchiveCloser closer;
  ASSERT_EQ(::mkdir((dir / "update.vpk").c_str(), 0700), 0);
  StderrCapture err;
  UpdaterError rv = vpk_open(dir.path().c_str());
  std::string text = err.text();
  EXPECT_EQ(rv, READ_ERROR) << text;
  EXPECT_EQ(vpk_archive(), nullptr);
}

}  // namespace
}  // namespace updater_test
