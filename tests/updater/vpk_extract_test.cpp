// Decoding items: every accepted XZ form gives what `xz -dc` gives; every other stream,
// an empty item, an item outside the archive and a failed write give their codes.
#include "updater/vpk_extract.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/updater/vpk_test_util.h"
#include "updater/vpk_index.h"

namespace updater_test {
namespace {

// Python helpers shared by the tables: test payloads and stream surgery.
constexpr const char* kPayloads = R"(
import random
rng = random.Random(7)
words = [bytes(rng.choice(b'abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 9))) for _ in range(300)]
text = b' '.join(rng.choice(words) for _ in range(120000))[:700000]
code = bytes(rng.choice([0xE8, 0x00, 0x12, 0x34, 0xEB, 0x90, 0x48, 0x8B]) for _ in range(300000))

def check_offset(stream):
    # A one-block stream: the check sits right before the index, whose size the footer holds.
    backward = (int.from_bytes(stream[-8:-4], 'little') + 1) * 4
    return len(stream) - 12 - backward

def flip(stream, at):
    s = bytearray(stream)
    s[at] ^= 0x01
    return bytes(s)

def archive(name, item, **kw):
    out(name, Vpk(items=[Item('f', item, **kw)]).build())
)";

// Extracts item "f" of the archive into a temporary file and returns the result and bytes.
std::pair<UpdaterError, std::string> extract_f(const TempDir& dir, const std::string& archive) {
  if (open_vpk(dir, archive) != OK) return {-100, ""};
  VpkItem* item = vpk_find_item(vpk_archive(), "f");
  if (item == nullptr) return {-101, ""};
  std::FILE* out = std::tmpfile();
  if (out == nullptr) return {-102, ""};
  UpdaterError rv = vpk_extract_item(item, out);
  std::fflush(out);
  std::rewind(out);
  std::string bytes;
  char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, out)) > 0) bytes.append(chunk, n);
  std::fclose(out);
  return {rv, bytes};
}

TEST(VpkExtract, AcceptedStreamsDecodeLikeXz) {
  const char* cases[] = {"check_none",
                         "check_crc32",
                         "check_crc64",
                         "x86",
                         "arm",
                         "dict_64MiB",
                         "x86_dict_64MiB",
                         "two_streams",
                         "trailing_bytes",
                         "one_byte",
                         "small_buffers_of_xz"};
  auto files = vpk_writer(std::string(kPayloads) + R"(
def case(name, stream, ref=None):
    archive(name, stream)
    out(name + '.ref', unxz(stream) if ref is None else ref)
case('check_none', xz(text, '--check=none'))
case('check_crc32', xz(text, '--check=crc32'))
case('check_crc64', xz(text, '--check=crc64'))
case('x86', xz(code, '--x86', '--lzma2=preset=6'))
case('arm', xz(code, '--arm', '--lzma2=preset=6'))
# A 64 MiB dictionary is the largest accepted: the block header says so.
case('dict_64MiB', set_lzma2_dict_property(xz(text[:5000], '--check=crc64'), 28))
case('x86_dict_64MiB', set_lzma2_dict_property(xz(code[:5000], '--x86', '--lzma2=preset=1'), 28))
first = xz(text[:3000])
case('two_streams', first + xz(b'second stream'), unxz(first))
case('trailing_bytes', first + b'\x00garbage after the stream', unxz(first))
case('one_byte', xz(b'x'))
case('small_buffers_of_xz', xz(text[:200000], '--block-size=50000'))
)");
  ASSERT_EQ(files.size(), 2 * std::size(cases));
  TempDir dir;
  ArchiveCloser closer;
  for (const char* c : cases) {
    SCOPED_TRACE(c);
    const std::string& ref = files[std::string(c) + ".ref"];
    ASSERT_FALSE(ref.empty());
    auto [rv, bytes] = extract_f(dir, files[c]);
    EXPECT_EQ(rv, OK);
    EXPECT_TRUE(bytes == ref) << "decoded " << bytes.size() << " bytes, xz gives " << ref.size();
  }
}

TEST(VpkExtract, RefusedStreamsGiveExtractError) {
  const char* cases[] = {"truncated",  "flipped_check", "flipped_data", "sha256_check",
                         "dict_96MiB", "claims_3GiB",   "not_xz",       "header_only"};
  auto files = vpk_writer(std::string(kPayloads) + R"(
good = xz(text[:100000], '--check=crc64')
archive('truncated', good[:-30])
archive('flipped_check', flip(good, check_offset(good)))
archive('flipped_data', flip(good, len(good) // 2))
archive('sha256_check', xz(text[:1000], '--check=sha256'))
# The next dictionary size after 64 MiB, and a tiny stream whose block header claims 3 GiB.
archive('dict_96MiB', set_lzma2_dict_property(xz(text[:5000]), 29))
archive('claims_3GiB', set_lzma2_dict_property(xz(b'tiny'), 39))
archive('not_xz', b'this is not an xz stream at all')
archive('header_only', good[:12])
)");
  ASSERT_EQ(files.size(), std::size(cases));
  TempDir dir;
  ArchiveCloser closer;
  for (const char* c : cases) {
    SCOPED_TRACE(c);
    auto [rv, bytes] = extract_f(dir, files[c]);
    EXPECT_EQ(rv, EXTRACT_ERROR);
  }
  // Refused at once, before anything of the stream was decoded.
  EXPECT_EQ(extract_f(dir, files["claims_3GiB"]).second, "");
  EXPECT_EQ(extract_f(dir, files["dict_96MiB"]).second, "");
  EXPECT_EQ(extract_f(dir, files["sha256_check"]).second, "");
}

TEST(VpkExtract, ItemsOutsideTheArchiveAreReadErrorsAndEmptyItemsTheirOwn) {
  auto files = vpk_writer(std::string(kPayloads) + R"(
good = xz(text[:100000])
archive('empty', b'')
archive('offset_past_end', b'', offset=100000, length=10)
archive('offset_at_end', b'', offset=0xFFFFFFF0, length=0x20)
# The stream is cut by the end of the archive while the stated length runs on.
v = Vpk(items=[Item('f', good[:len(good) // 2], length=len(good))])
v.index_first = True
out('cut_by_end', v.build())
)");
  TempDir dir;
  ArchiveCloser closer;
  EXPECT_EQ(extract_f(dir, files["empty"]).first, EMPTY_ITEM_ERROR);
  EXPECT_EQ(extract_f(dir, files["offset_past_end"]).first, READ_ERROR);
  EXPECT_EQ(extract_f(dir, files["offset_at_end"]).first, READ_ERROR);
  auto [rv, bytes] = extract_f(dir, files["cut_by_end"]);
  EXPECT_EQ(rv, READ_ERROR);
}

// A stated length past the end of the archive does not matter when the stream ends first.
TEST(VpkExtract, AStreamThatEndsBeforeTheArchiveDoesDecodesWhateverItsStatedLength) {
  auto files = vpk_writer(std::string(kPayloads) + R"(
good = xz(text[:1000])
v = Vpk(items=[Item('f', good, length=len(good) + 5000)])
v.index_first = True
out('long', v.build())
out('long.ref', unxz(good))
)");
  TempDir dir;
  ArchiveCloser closer;
  auto [rv, bytes] = extract_f(dir, files["long"]);
  EXPECT_EQ(rv, OK);
  EXPECT_EQ(bytes, files["long.ref"]);
}

TEST(VpkExtract, AShortWriteIsAnExtractWriteError) {
  auto files = vpk_writer(std::string(kPayloads) + "archive('a', xz(text))\n");
  TempDir dir;
  ArchiveCloser closer;
  ASSERT_EQ(open_vpk(dir, files["a"]), OK);
  VpkItem* item = vpk_find_item(vpk_archive(), "f");
  ASSERT_NE(item, nullptr);
  std::FILE* full = std::fopen("/dev/full", "wb");
  ASSERT_NE(full, nullptr);
  std::setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_EQ(vpk_extract_item(item, full), EXTRACT_WRITE_ERROR);
  std::fclose(full);
}

}  // namespace
}  // namespace updater_test
