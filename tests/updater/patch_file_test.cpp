// Patching one file: the format chosen, the size and CRC checks before anything is
// written, the new file's mode, links replaced rather than written through, and the
// destination length held exactly.
#include "updater/patch_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "qbdiff_tools.h"
#include "test_util.h"
#include "updater/crc32_bzip2.h"

namespace updater_test {
namespace {

std::uint32_t be32_at(const std::string& s, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(s[at])) << 24 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 1])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 2])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 3]));
}

std::uint32_t crc_of(const std::string& s) {
  return crc32_bzip2(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

TEST(PatchFile, Table) {
  ASSERT_TRUE(qbdiff_test::have_bsdiff()) << "bsdiff/bspatch missing: run scripts/deps.sh";
  const std::string old_data = qbdiff_test::random_bytes(5000, 21);
  const std::string new_data = old_data.substr(0, 3000) + "a new middle" + old_data.substr(2500);
  const auto patches = qbdiff_test::make_patches(old_data, new_data);
  ASSERT_TRUE(patches.has_value());
  const std::string& qb = patches->qbdiff;
  std::string flipped = old_data;
  flipped[4321] = static_cast<char>(flipped[4321] ^ 0x10);

  qbdiff_test::HandPatch past;  // two bytes more than its destination length
  past.source_length = 10;
  past.source_crc = crc_of("0123456789");
  past.dest_length = 4;
  past.triples = {{4, 2, 0}};
  past.diff = std::string(4, '\0');
  past.extra = "xy";
  qbdiff_test::HandPatch empty;  // no triples: an empty new file
  empty.source_length = 10;
  empty.source_crc = past.source_crc;

  struct Case {
    const char* name;
    std::string patch;
    std::string source;  // contents of "old" (mode 0751)
    enum Target { kNewFile, kInPlace, kThroughLink, kFolder, kMissingSource } target;
    UpdaterError result;
    std::string out;   // the target's contents after success
    std::string line;  // a log line that must appear
  };
  const Case cases[] = {
      {"to a new file", qb, old_data, Case::kNewFile, OK, new_data, ""},
      {"in place", qb, old_data, Case::kInPlace, OK, new_data, ""},
      {"in place through a link", qb, old_data, Case::kThroughLink, OK, new_data, ""},
      {"empty control block", empty.bytes(), "0123456789", Case::kNewFile, OK, "", ""},
      // Not QBDIFF10 (41), then not a kestor patch either.
      {"one byte extra", qb + "x", old_data, Case::kInPlace, READ_ERROR, "", ""},
      {"wrong size", qb, old_data + "!", Case::kInPlace, SOURCE_SIZE_ERROR, "",
       ": LoadSourceFile: destination file size 5001 does not match expected size 5000\n"},
      {"wrong CRC", qb, flipped, Case::kInPlace, CRC_ERROR, "",
       ": LoadSourceFile: destination file crc " + std::to_string(crc_of(flipped)) + " does not match expected crc " +
           std::to_string(be32_at(qb, 12)) + "\n"},
      {"missing file", qb, old_data, Case::kMissingSource, READ_ERROR, "",
       ": unable to open destination file: old, err: 2\n"},
      {"target is a folder", qb, old_data, Case::kFolder, CREATE_NEW_FILE_ERROR, "", ": unable to create new file: "},
      {"output past the destination length", past.bytes(), "0123456789", Case::kNewFile, CORRUPT_PATCH_ERROR, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    ScopedLog log(dir / "update.log");
    const std::string real = dir / "real";
    ASSERT_TRUE(write_file(real, c.source));
    ASSERT_EQ(::chmod(real.c_str(), 0751), 0);
    std::string source = real, target = dir / "new";
    switch (c.target) {
      case Case::kNewFile: break;
      case Case::kInPlace: target = real; break;
      case Case::kThroughLink:
        source = target = dir / "link";
        ASSERT_EQ(::symlink(real.c_str(), source.c_str()), 0);
        break;
      case Case::kFolder: ASSERT_EQ(::mkdir(target.c_str(), 0755), 0); break;
      case Case::kMissingSource: source = dir / "absent"; break;
    }
    ASSERT_TRUE(write_file(dir / "patch", c.patch));
    std::FILE* patch = std::fopen((dir / "patch").c_str(), "rb");
    ASSERT_NE(patch, nullptr);
    // The stream's position does not matter: it is rewound.
    std::fseek(patch, 7, SEEK_SET);
    EXPECT_EQ(patch_file(patch, source.c_str(), target.c_str(), "old"), c.result);
    std::fclose(patch);

    const std::string text = log_text();
    if (!c.line.empty()) {
      EXPECT_NE(text.find(c.line), std::string::npos) << text;
    }
    if (c.result == SOURCE_SIZE_ERROR || c.result == CRC_ERROR) {
      EXPECT_NE(text.find(": LoadSourceFile failed\n"), std::string::npos) << text;
    }
    if (c.result == OK) {
      EXPECT_EQ(read_file(target), c.out);
      EXPECT_EQ(lstat_mode(target), static_cast<mode_t>(S_IFREG | 0751));
      if (c.target != Case::kInPlace) {
        EXPECT_EQ(read_file(real), c.source);
      }
    } else if (c.target != Case::kFolder) {
      // A refused patch leaves the file as it was and makes no new file.
      EXPECT_EQ(read_file(real), c.source);
      if (c.target == Case::kNewFile && c.result != CORRUPT_PATCH_ERROR) {
        EXPECT_FALSE(read_file(target));
      }
    }
  }
}

// The file's size is compared whole: 4 GiB + 10 bytes is not 10.
TEST(PatchFile, SizeIsNotNarrowed) {
  TempDir dir;
  ScopedLog log(dir / "update.log");
  qbdiff_test::HandPatch p;
  p.source_length = 10;
  ASSERT_TRUE(write_file(dir / "patch", p.bytes()));
  ASSERT_TRUE(write_file(dir / "old", "0123456789"));
  ASSERT_EQ(::truncate((dir / "old").c_str(), (off_t{1} << 32) + 10), 0);
  std::FILE* patch = std::fopen((dir / "patch").c_str(), "rb");
  ASSERT_NE(patch, nullptr);
  EXPECT_EQ(patch_file(patch, (dir / "old").c_str(), (dir / "new").c_str(), "old"), SOURCE_SIZE_ERROR);
  std::fclose(patch);
  EXPECT_NE(log_text().find("destination file size 4294967306 does not match expected size 10\n"), std::string::npos)
      << log_text();
}

}  // namespace
}  // namespace updater_test
