// CRC-32 on each of its paths (tables, 128-bit and 512-bit carry-less multiplication)
// against zlib's crc32.
#include "encoding/crc32.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "deflate_zlib.h"

using deflate_test::random_bytes;
using deflate_test::zlib_crc32;
using encoding::detail::Crc32Path;

namespace {

// A buffer whose last `len` bytes are the input, starting `offset` bytes in. The
// allocation ends with the input, so that a read past its end trips the address
// sanitizer, and the bytes before it are random too, so that reading them would change
// the result.
struct Input {
  Bytes buffer;
  std::size_t offset;
  ByteView view() const { return ByteView(buffer).subspan(offset); }
};

Input input(std::size_t offset, std::size_t len, std::uint32_t seed) {
  return Input{random_bytes(offset + len, seed), offset};
}

class Crc32Paths : public testing::TestWithParam<Crc32Path> {
 protected:
  void SetUp() override {
    // A path this CPU lacks would quietly run another; the test says so instead.
    if (!encoding::detail::crc32_path_supported(GetParam())) {
      GTEST_SKIP() << "this CPU has no " << encoding::detail::to_string(GetParam()) << " path";
    }
  }
  std::uint32_t crc(ByteView v) const { return encoding::detail::crc32(v, GetParam()); }
};

TEST_P(Crc32Paths, CheckValueAndEmptyInput) {
  EXPECT_EQ(crc(as_bytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc({}), 0u);
  EXPECT_EQ(crc(ByteView(static_cast<const std::uint8_t*>(nullptr), 0)), 0u);
}

// Every length up to 300 covers the tables alone, one 16-byte lane with each tail
// length, four lanes, and the first 256-byte block of the 512-bit path; each at all 16
// alignments of the start.
TEST_P(Crc32Paths, EveryShortLengthAtEveryAlignment) {
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t len = 0; len <= 300; ++len) {
      const Input in = input(offset, len, static_cast<std::uint32_t>(1000 * offset + len));
      ASSERT_EQ(crc(in.view()), zlib_crc32(in.view())) << "offset " << offset << " length " << len;
    }
  }
}

// Lengths on either side of where the loops change step, up to the 4-part table
// path for long inputs and a remainder after it.
TEST_P(Crc32Paths, LengthsAroundStepChangesAtEveryAlignment) {
  for (std::size_t base : {16, 32, 64, 128, 256, 320, 512, 1024, 1730, 4096, 16384, 65536, 299990}) {
    for (std::size_t len : {base - 1, base, base + 1, base + 15, base + 17}) {
      for (std::size_t offset = 0; offset < 16; ++offset) {
        const Input in = input(offset, len, static_cast<std::uint32_t>(len * 16 + offset));
        ASSERT_EQ(crc(in.view()), zlib_crc32(in.view())) << "offset " << offset << " length " << len;
      }
    }
  }
}

// One set bit in a zero packet, at every bit position: each bit reaches the result
// through a different fold (a different power of x and lane), so a wrong folding or
// reduction constant, or a lane taken for the other, gives a wrong CRC for some
// position. Zeros alone and ones alone check the conditioning and the tail shuffles.
TEST_P(Crc32Paths, EverySingleBitOfAPacket) {
  for (std::size_t len : {std::size_t{100}, std::size_t{1730}}) {
    Bytes packet(len, 0);
    EXPECT_EQ(crc(packet), zlib_crc32(packet)) << len;
    for (std::size_t bit = 0; bit < 8 * len; ++bit) {
      packet[bit / 8] = static_cast<std::uint8_t>(1u << (bit % 8));
      ASSERT_EQ(crc(packet), zlib_crc32(packet)) << "length " << len << " bit " << bit;
      packet[bit / 8] = 0;
    }
    const Bytes ones(len, 0xFF);
    EXPECT_EQ(crc(ones), zlib_crc32(ones)) << len;
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, Crc32Paths, testing::Values(Crc32Path::Table, Crc32Path::Clmul, Crc32Path::Avx512),
                         [](const testing::TestParamInfo<Crc32Path>& param) {
                           return std::string(encoding::detail::to_string(param.param));
                         });

// The entry point without a path runs the fastest this CPU has.
TEST(Crc32, MatchesZlib) {
  const std::string check = "123456789";
  EXPECT_EQ(encoding::crc32(as_bytes(check)), 0xCBF43926u);
  EXPECT_EQ(encoding::crc32({}), 0u);
  const Bytes data = random_bytes(300000, 42);
  for (std::size_t start : {0, 1, 3, 7}) {
    for (std::size_t len :
         {0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 1000, 1730, 4993, 16383, 16384, 16385, 16447, 65536, 299990}) {
      ByteView v = ByteView(data).subspan(start, len);
      EXPECT_EQ(encoding::crc32(v), zlib_crc32(v)) << start << " " << len;
    }
  }
}

}  // namespace
