#include "base/files/memory_mapped_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/base/temp_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

Bytes Pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8) + 1);
  return b;
}

// A File over path opened with mode, for the mapping to take over.
base::File OpenFile(const std::string& path, const char* mode) {
  std::FILE* stream = std::fopen(path.c_str(), mode);
  base::File file(stream);
  if (stream != nullptr) std::fclose(stream);
  return file;
}

TEST(MemoryMappedFile, MapsAWholeFileReadOnly) {
  TempDir dir;
  const Bytes content = Pattern(10000);
  WriteFile(dir.file("a"), content);
  base::MemoryMappedFile map;
  ASSERT_TRUE(map.Initialize(OpenFile(dir.file("a"), "r"), base::MemoryMappedFile::kWholeFile,
                             base::MemoryMappedFile::kReadOnly));
  ASSERT_TRUE(map.IsValid());
  ASSERT_EQ(map.length(), content.size());
  EXPECT_EQ(Bytes(map.data(), map.data() + map.length()), content);
  EXPECT_FALSE(map.out_of_memory());
  // A second mapping into the same object is refused and the first stays.
  EXPECT_FALSE(map.Initialize(OpenFile(dir.file("a"), "r"), base::MemoryMappedFile::kWholeFile,
                              base::MemoryMappedFile::kReadOnly));
  EXPECT_TRUE(map.IsValid());
}

TEST(MemoryMappedFile, ARegionStartsInsideItsFirstPage) {
  ASSERT_EQ(getpagesize(), 4096);
  TempDir dir;
  const Bytes content = Pattern(3 * 4096);
  WriteFile(dir.file("a"), content);
  base::MemoryMappedFile map;
  ASSERT_TRUE(map.Initialize(OpenFile(dir.file("a"), "r"), {4097, 10}, base::MemoryMappedFile::kReadOnly));
  EXPECT_EQ(map.length(), 10u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(map.data()) % 4096, 1u);
  EXPECT_EQ(Bytes(map.data(), map.data() + 10), Bytes(content.begin() + 4097, content.begin() + 4107));
  // The mapping covers file offsets [4096, 8192): the byte before the region is mapped too.
  EXPECT_EQ(map.data()[-1], content[4096]);
  EXPECT_EQ(map.data()[4094], content[8191]);
}

TEST(MemoryMappedFile, FailedMappingsLeaveTheObjectEmpty) {
  TempDir dir;
  WriteFile(dir.file("a"), Pattern(100));
  struct Case {
    base::MemoryMappedFile::Region region;
    bool out_of_memory;
  };
  const Case cases[] = {
      {{-4096, 10}, false},    // before the file's start
      {{0, -5}, false},        // negative size
      {{0, 1LL << 50}, true},  // more than the address space
  };
  for (const Case& c : cases) {
    base::MemoryMappedFile map;
    EXPECT_FALSE(map.Initialize(OpenFile(dir.file("a"), "r"), c.region, base::MemoryMappedFile::kReadOnly));
    EXPECT_FALSE(map.IsValid());
    EXPECT_EQ(map.length(), 0u);
    EXPECT_EQ(map.out_of_memory(), c.out_of_memory) << c.region.offset << " " << c.region.size;
  }
  base::MemoryMappedFile invalid;
  EXPECT_FALSE(invalid.Initialize(base::File(static_cast<std::FILE*>(nullptr)), base::MemoryMappedFile::kWholeFile,
                                  base::MemoryMappedFile::kReadOnly));
}

TEST(MemoryMappedFile, ReadWriteExtendGrowsTheFileAndWritesReachIt) {
  TempDir dir;
  const std::string path = dir.file("new");
  WriteFile(path, Pattern(100));
  const Bytes expected = Pattern(50000);
  {
    base::MemoryMappedFile map;
    ASSERT_TRUE(map.Initialize(OpenFile(path, "r+"), {0, 50000}, base::MemoryMappedFile::kReadWriteExtend));
    ASSERT_EQ(map.length(), 50000u);
    EXPECT_EQ(Bytes(map.data(), map.data() + 100), Pattern(100));
    EXPECT_TRUE(std::all_of(map.data() + 100, map.data() + 50000, [](std::uint8_t b) { return b == 0; }));
    std::memcpy(map.data(), expected.data(), expected.size());
  }
  EXPECT_EQ(ReadFile(path), expected);
}

// The seam: fallocate fails as on a file system without it, after planting a non-zero byte
// at one block boundary of the grown range; pwrite is recorded and passed through.
std::vector<off_t> g_writes;
off_t g_planted = -1;
int g_fallocate_calls = 0;

int FailingFallocate(int fd, int, off_t, off_t) {
  if (g_fallocate_calls++ == 0) {
    errno = EINTR;  // retried
    return -1;
  }
  const char planted = 0x55;
  if (g_planted >= 0 && pwrite(fd, &planted, 1, g_planted) != 1) return -1;
  errno = EOPNOTSUPP;
  return -1;
}

ssize_t RecordingPwrite(int fd, const void* buf, std::size_t count, off_t offset) {
  g_writes.push_back(offset);
  return pwrite(fd, buf, count, offset);
}

TEST(MemoryMappedFile, WithoutFallocateEveryZeroBlockBoundaryOfTheGrownRangeIsWrittenOnce) {
  TempDir dir;
  const std::string path = dir.file("new");
  const Bytes head(1000, 0xAA);
  WriteFile(path, head);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  const off_t block = st.st_blksize > 0 && (st.st_blksize & (st.st_blksize - 1)) == 0 ? st.st_blksize : 512;
  const off_t end = 5 * block + 100;
  g_planted = 2 * block;
  g_writes.clear();
  g_fallocate_calls = 0;
  base::internal::g_fallocate_for_testing = &FailingFallocate;
  base::internal::g_pwrite_for_testing = &RecordingPwrite;
  bool ok;
  {
    base::MemoryMappedFile map;
    ok = map.Initialize(OpenFile(path, "r+"), {0, end}, base::MemoryMappedFile::kReadWriteExtend);
  }
  base::internal::g_fallocate_for_testing = nullptr;
  base::internal::g_pwrite_for_testing = nullptr;
  ASSERT_TRUE(ok);
  EXPECT_EQ(g_fallocate_calls, 2);
  // Boundaries from the old end (1000) rounded up: block, 2 block (planted, left alone), 3, 4, 5.
  EXPECT_EQ(g_writes, (std::vector<off_t>{block, 3 * block, 4 * block, 5 * block}));
  const Bytes data = ReadFile(path);
  ASSERT_EQ(data.size(), static_cast<std::size_t>(end));
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 1000), head);
  for (std::size_t i = 1000; i < data.size(); ++i) {
    ASSERT_EQ(data[i], i == static_cast<std::size_t>(g_planted) ? 0x55 : 0) << i;
  }
}

}  // namespace
