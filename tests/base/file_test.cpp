#include "base/files/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "base/files/file_util.h"
#include "tests/base/temp_dir.h"

namespace {

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(File, FromANullStreamIsInvalidWithTheGenericError) {
  base::File file(static_cast<std::FILE*>(nullptr));
  EXPECT_FALSE(file.IsValid());
  EXPECT_EQ(file.GetPlatformFile(), -1);
  EXPECT_EQ(file.error_details(), -1);
}

TEST(File, HoldsADuplicateThatOutlivesTheStream) {
  TempDir dir;
  const std::string path = dir.file("a");
  std::FILE* stream = std::fopen(path.c_str(), "w+");
  ASSERT_NE(stream, nullptr);
  base::File file(stream);
  ASSERT_TRUE(file.IsValid());
  EXPECT_EQ(file.error_details(), base::File::FILE_OK);
  EXPECT_NE(file.GetPlatformFile(), fileno(stream));
  EXPECT_TRUE(file.path().empty());
  std::fclose(stream);
  ASSERT_TRUE(file.SetLength(1234));
  EXPECT_EQ(std::filesystem::file_size(path), 1234u);
  ASSERT_TRUE(file.SetLength(7));
  EXPECT_EQ(std::filesystem::file_size(path), 7u);

  const int fd = file.GetPlatformFile();
  file.Close();
  EXPECT_FALSE(file.IsValid());
  EXPECT_FALSE(IsOpen(fd));
  file.Close();  // a second close does nothing
}

TEST(File, MovingHandsOverTheDescriptorAndMoveAssignmentClosesTheTargetsOwn) {
  TempDir dir;
  std::FILE* s1 = std::fopen(dir.file("a").c_str(), "w+");
  std::FILE* s2 = std::fopen(dir.file("b").c_str(), "w+");
  ASSERT_TRUE(s1 && s2);
  base::File a(s1);
  base::File b(s2);
  std::fclose(s1);
  std::fclose(s2);
  const int fa = a.GetPlatformFile();
  const int fb = b.GetPlatformFile();

  base::File c(std::move(a));
  EXPECT_EQ(a.GetPlatformFile(), -1);
  EXPECT_EQ(c.GetPlatformFile(), fa);
  b = std::move(c);
  EXPECT_EQ(b.GetPlatformFile(), fa);
  EXPECT_EQ(c.GetPlatformFile(), -1);
  EXPECT_FALSE(IsOpen(fb));
  EXPECT_TRUE(IsOpen(fa));
  { base::File d(std::move(b)); }
  EXPECT_FALSE(IsOpen(fa));
}

TEST(File, ErrorCodesFromErrno) {
  struct Case {
    int err;
    int code;
  };
  const Case cases[] = {{EPERM, -5},   {EACCES, -5}, {EISDIR, -5}, {EROFS, -5},  {ENOENT, -4}, {EBUSY, -2},
                        {ETXTBSY, -2}, {EEXIST, -3}, {ENOMEM, -7}, {ENFILE, -6}, {EMFILE, -6}, {ENOSPC, -8},
                        {ENOTDIR, -9}, {EIO, -16},   {EINVAL, -1}, {0, -1}};
  for (const Case& c : cases) EXPECT_EQ(base::File::OSErrorToFileError(c.err), c.code) << c.err;
}

TEST(DoDeleteFile, RemovesFilesAndEmptyFoldersAndCountsAMissingPathAsDeleted) {
  TempDir dir;
  const std::string file = dir.file("f");
  std::ofstream(file) << "x";
  const std::string empty = dir.file("empty");
  const std::string full = dir.file("full");
  std::filesystem::create_directory(empty);
  std::filesystem::create_directory(full);
  std::ofstream(full + "/inside") << "y";
  const std::string link = dir.file("link");
  std::filesystem::create_symlink(full, link);

  EXPECT_TRUE(base::DoDeleteFile(file.c_str()));
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_TRUE(base::DoDeleteFile(file.c_str()));
  EXPECT_TRUE(base::DoDeleteFile(dir.file("never/there").c_str()));
  EXPECT_TRUE(base::DoDeleteFile(empty.c_str()));
  EXPECT_FALSE(std::filesystem::exists(empty));
  EXPECT_FALSE(base::DoDeleteFile(full.c_str()));
  EXPECT_TRUE(std::filesystem::exists(full + "/inside"));
  // A link to a folder is removed as a link; the folder stays.
  EXPECT_TRUE(base::DoDeleteFile(link.c_str()));
  EXPECT_FALSE(std::filesystem::is_symlink(link));
  EXPECT_TRUE(std::filesystem::exists(full + "/inside"));
}

}  // namespace
