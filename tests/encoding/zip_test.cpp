// ZIP archives here are written by python3's zipfile module, an implementation independent
// of ours; the hand-made ones patch single fields of such archives.
#include "encoding/zip.h"

#include <gtest/gtest.h>

#include <string>

#include "encoding/crc32.h"
#include "encoding/deflate.h"
#include "encoding/inflate.h"
#include "encoding/writer.h"
#include "tests/support/python_zip.h"

namespace {

using test_support::python_zip;

void expect_error(const Result<std::vector<encoding::ZipEntry>>& r, EncodingError variant, std::string_view text) {
  ASSERT_FALSE(r.has_value()) << "expected: " << text;
  EXPECT_TRUE(r.error().is(variant)) << to_string(r.error());
  EXPECT_EQ(r.error().message(), text);
}

std::uint32_t le32(const Bytes& b, std::size_t at) { return encoding::read_u32_le_bytes(b, at).value(); }
void put_le32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::size_t end_record(const Bytes& b) {
  for (std::size_t p = b.size() - 22 + 1; p-- > 0;)
    if (b[p] == 0x50 && b[p + 1] == 0x4B && b[p + 2] == 5 && b[p + 3] == 6) return p;
  return b.size();
}
std::size_t central_directory(const Bytes& b) { return le32(b, end_record(b) + 16); }

const char* kTwoEntries =
    "z.writestr(zipfile.ZipInfo('a.dat'), b'alpha' * 50, compress_type=zipfile.ZIP_DEFLATED)\n"
    "z.writestr(zipfile.ZipInfo('b.dat'), b'bravo', compress_type=zipfile.ZIP_STORED)\n";

}  // namespace

TEST(Zip, StoredAndDeflatedEntriesInDirectoryOrder) {
  Bytes zip = python_zip(kTwoEntries);
  auto r = encoding::zip_extract_entries(zip);
  ASSERT_TRUE(r) << to_string(r.error());
  ASSERT_EQ(r->size(), 2u);
  EXPECT_EQ((*r)[0].name, "a.dat");
  std::string alpha;
  for (int i = 0; i < 50; ++i) alpha += "alpha";
  EXPECT_EQ((*r)[0].data, to_bytes(alpha));
  EXPECT_EQ((*r)[1].name, "b.dat");
  EXPECT_EQ((*r)[1].data, to_bytes("bravo"));
}

TEST(Zip, FoldersAndOtherNamesAreSkipped) {
  Bytes zip = python_zip(
      "z.writestr('dir/', b'')\n"
      "z.writestr('notes.txt', b'hello')\n"
      "z.writestr('UPPER.DAT', b'x')\n"
      "z.writestr('dir/r.dat', b'kept', compress_type=zipfile.ZIP_DEFLATED)\n");
  auto r = encoding::zip_extract_entries(zip);
  ASSERT_TRUE(r) << to_string(r.error());
  ASSERT_EQ(r->size(), 1u);
  EXPECT_EQ((*r)[0].name, "dir/r.dat");
  EXPECT_EQ((*r)[0].data, to_bytes("kept"));
}

TEST(Zip, EmptyArchive) {
  Bytes zip = python_zip("");
  auto r = encoding::zip_extract_entries(zip);
  ASSERT_TRUE(r) << to_string(r.error());
  EXPECT_TRUE(r->empty());
}

TEST(Zip, EndRecordSearchStopsAtLongestComment) {
  Bytes zip = python_zip(kTwoEntries);
  Bytes found = zip;
  found.insert(found.end(), 65535 - 22 + 22, 0);  // 65,535 bytes after the 22-byte record
  found.resize(zip.size() + 65535);
  ASSERT_TRUE(encoding::zip_extract_entries(found)) << "65,535 trailing bytes still fit a comment";
  Bytes lost = found;
  lost.push_back(0);
  expect_error(encoding::zip_extract_entries(lost), EncodingError::InvalidData,
               "ZIP End-of-Central-Directory signature not found");
}

TEST(Zip, Refusals) {
  const Bytes zip = python_zip(kTwoEntries);
  const std::size_t cd = central_directory(zip);
  const std::size_t eocd = end_record(zip);

  expect_error(encoding::zip_extract_entries(Bytes(21, 0)), EncodingError::BadLength,
               "ZIP archive shorter than 22 bytes");
  expect_error(encoding::zip_extract_entries(Bytes(100, 0)), EncodingError::InvalidData,
               "ZIP End-of-Central-Directory signature not found");

  Bytes bad_offset = zip;
  put_le32(bad_offset, eocd + 16, static_cast<std::uint32_t>(eocd + 1));
  expect_error(encoding::zip_extract_entries(bad_offset), EncodingError::BadLength,
               "ZIP Central Directory offset out of range");

  Bytes bad_cd = zip;
  bad_cd[cd] = 0;
  expect_error(encoding::zip_extract_entries(bad_cd), EncodingError::InvalidData,
               "invalid ZIP Central Directory entry signature");

  Bytes bad_local = zip;
  bad_local[le32(zip, cd + 42)] = 0;
  expect_error(encoding::zip_extract_entries(bad_local), EncodingError::InvalidData, "invalid ZIP Local File Header");

  Bytes bad_crc = zip;
  put_le32(bad_crc, cd + 16, le32(zip, cd + 16) ^ 1);
  expect_error(encoding::zip_extract_entries(bad_crc), EncodingError::InvalidData,
               "ZIP entry CRC-32 mismatch for a.dat");

  Bytes bad_size = zip;
  put_le32(bad_size, cd + 24, le32(zip, cd + 24) + 1);
  expect_error(encoding::zip_extract_entries(bad_size), EncodingError::BadLength,
               "ZIP entry uncompressed size mismatch for a.dat");

  Bytes short_size = zip;  // declared smaller than the deflated entry inflates to
  put_le32(short_size, cd + 24, le32(zip, cd + 24) - 1);
  expect_error(encoding::zip_extract_entries(short_size), EncodingError::BadLength,
               "ZIP entry uncompressed size mismatch for a.dat");

  Bytes bad_method = zip;
  bad_method[cd + 10] = 12;
  expect_error(encoding::zip_extract_entries(bad_method), EncodingError::InvalidData,
               "unsupported ZIP compression method: 12");

  Bytes long_data = zip;
  put_le32(long_data, cd + 20, static_cast<std::uint32_t>(zip.size()));
  expect_error(encoding::zip_extract_entries(long_data), EncodingError::Truncated, "ZIP entry data truncated");
}

TEST(Zip, StoredEntryWithDifferentSizesFails) {
  Bytes zip = python_zip("z.writestr('s.dat', b'stored bytes')\n");
  const std::size_t cd = central_directory(zip);
  put_le32(zip, cd + 24, le32(zip, cd + 24) - 1);  // uncompressed size no longer equals compressed
  expect_error(encoding::zip_extract_entries(zip), EncodingError::BadLength,
               "ZIP entry uncompressed size mismatch for s.dat");
}

// A small archive must not be able to ask for more than a RouterInfo-sized amount per entry,
// nor reuse one compressed entry many times, nor extract without bound in total.
TEST(Zip, BombsAreRefusedBeforeInflating) {
  Bytes big = python_zip("z.writestr('big.dat', b'\\0' * (1 << 20), compress_type=zipfile.ZIP_DEFLATED)\n");
  ASSERT_LT(big.size(), 4096u);
  expect_error(encoding::zip_extract_entries(big), EncodingError::LimitExceeded,
               "ZIP entry uncompressed size too large for big.dat");

  // Two central-directory entries pointing at one local header.
  Bytes shared = python_zip(kTwoEntries);
  const std::size_t cd = central_directory(shared);
  const std::size_t second = cd + 46 + 5;  // "a.dat" has no extra field or comment here
  ASSERT_EQ(shared[second], 0x50);
  put_le32(shared, second + 42, le32(shared, cd + 42));
  expect_error(encoding::zip_extract_entries(shared), EncodingError::InvalidData,
               "ZIP entries share a Local File Header: b.dat");

  // The total is capped too.
  encoding::ZipLimits small;
  small.max_total_size = 254;  // the two entries hold 250 + 5 bytes
  expect_error(encoding::zip_extract_entries(python_zip(kTwoEntries), small), EncodingError::LimitExceeded,
               "ZIP extracted data exceeds 254 bytes");
}

TEST(Zip, InflaterHonoursALowerOutputLimit) {
  Bytes plain(1000, 'z');
  Bytes packed = encoding::deflate_raw(plain);
  auto exact = encoding::inflate_raw_from(packed, 0, 1000);
  ASSERT_TRUE(exact) << to_string(exact.error());
  EXPECT_EQ(exact->data, plain);
  auto over = encoding::inflate_raw_from(packed, 0, 999);
  ASSERT_FALSE(over);
  EXPECT_TRUE(over.error().is(EncodingError::LimitExceeded));
}
