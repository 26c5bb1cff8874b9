#include <gtest/gtest.h>

#include <string>

#include "encoding/reader.h"
#include "encoding/writer.h"

using encoding::Reader;
using encoding::Writer;

namespace {

template <typename T>
void expect_truncated(const Result<T>& r, std::string_view message) {
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().is(EncodingError::Truncated));
  EXPECT_EQ(r.error().message(), message);
}

}  // namespace

TEST(Reader, BigEndianReads) {
  const Bytes data{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
  Reader r(data);
  EXPECT_EQ(r.read_u8().value(), 0x01);
  EXPECT_EQ(r.read_u16_be().value(), 0x0203);
  EXPECT_EQ(r.read_u32_be().value(), 0x04050607u);
  EXPECT_EQ(r.read_u64_be().value(), 0x08090A0B0C0D0E0Full);
  EXPECT_EQ(r.pos, data.size());
  EXPECT_EQ(r.read_remaining(), Bytes{});
}

TEST(Reader, ShortfallsNameOperationAndPositionAndKeepPosition) {
  const Bytes data{0xAA, 0xBB, 0xCC};
  Reader r(data);
  expect_truncated(r.read_u32_be(), "read_u32_be: unexpected EOF at 0");
  EXPECT_EQ(r.pos, 0u);
  expect_truncated(r.read_bytes(4), "read_bytes: need 4 bytes, have 3");
  EXPECT_EQ(r.pos, 0u);
  ASSERT_TRUE(r.skip(1).has_value());
  expect_truncated(r.read_u64_be(), "read_u64_be: unexpected EOF at 1");
  ASSERT_TRUE(r.read_u16_be().has_value());
  expect_truncated(r.read_u8(), "read_u8: unexpected EOF at 3");
  expect_truncated(r.read_u16_be(), "read_u16_be: unexpected EOF at 3");
  EXPECT_EQ(r.pos, 3u);
}

TEST(Reader, CountsOutOfRangeAreRefused) {
  const Bytes data{1, 2, 3};
  Reader r(data);
  expect_truncated(r.read_bytes(-1), "read_bytes: need -1 bytes, have 3");
  expect_truncated(r.skip(4), "skip: need 4 bytes, have 3");
  expect_truncated(r.skip(-2), "skip: need -2 bytes, have 3");
  EXPECT_EQ(r.pos, 0u);
  EXPECT_EQ(r.read_bytes(0).value(), Bytes{});
  ASSERT_TRUE(r.skip(3).has_value());
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(Reader, I2pString) {
  const Bytes data{3, 'a', 'b', 'c', 2, 0xC3, 0xA9, 5, 'x', 2, 0xC3, '!'};
  Reader r(data);
  EXPECT_EQ(r.read_i2p_string().value(), "abc");
  EXPECT_EQ(r.read_i2p_string().value(), "\xC3\xA9");
  // A length past the end fails after the length byte was consumed.
  Reader short_r(ByteView(data).subspan(7, 2));
  expect_truncated(short_r.read_i2p_string(), "read_bytes: need 5 bytes, have 1");
  EXPECT_EQ(short_r.pos, 1u);
  // Bytes that are not UTF-8 stay consumed; the error is the decoder's.
  Reader bad(ByteView(data).subspan(9));
  auto s = bad.read_i2p_string();
  ASSERT_FALSE(s);
  EXPECT_TRUE(s.error().is(EncodingError::InvalidData));
  EXPECT_EQ(bad.pos, 3u);
}

TEST(Writer, BigEndianWrites) {
  Writer w(16);
  w.write_u8(0x1FF);
  w.write_u16_be(0x10203);
  w.write_u32_be(0x04050607u);
  w.write_u64_be(0x08090A0B0C0D0E0Full);
  w.write_bytes(Bytes{0xEE});
  EXPECT_EQ(w.to_bytes(),
            (Bytes{0xFF, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0xEE}));
  // to_bytes leaves the writer usable.
  w.write_u8(1);
  EXPECT_EQ(w.to_bytes().size(), 17u);
}

TEST(Writer, I2pStringLimit) {
  Writer w;
  ASSERT_TRUE(w.write_i2p_string(std::string(255, 'a')).has_value());
  EXPECT_EQ(w.buf.size(), 256u);
  EXPECT_EQ(w.buf[0], 255);
  auto r = w.write_i2p_string(std::string(256, 'b'));
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().is(EncodingError::LimitExceeded));
  EXPECT_EQ(r.error().message(), "I2P string exceeds 255 UTF-8 bytes: 256");
  EXPECT_EQ(w.buf.size(), 256u);  // unchanged
  // Counted in UTF-8 bytes, not characters: 128 two-byte characters are 256 bytes.
  std::string wide;
  for (int i = 0; i < 128; ++i) wide += "\xC3\xA9";
  EXPECT_FALSE(w.write_i2p_string(wide).has_value());
}

TEST(Writer, I2pStringRoundTrip) {
  Writer w;
  ASSERT_TRUE(w.write_i2p_string("").has_value());
  ASSERT_TRUE(w.write_i2p_string("caps").has_value());
  Bytes out = w.to_bytes();
  Reader r(out);
  EXPECT_EQ(r.read_i2p_string().value(), "");
  EXPECT_EQ(r.read_i2p_string().value(), "caps");
}

TEST(LittleEndianHelpers, ReadAndPush) {
  Bytes b{0xFF};
  encoding::push_u32_le(b, 0x11223344u);
  EXPECT_EQ(b, (Bytes{0xFF, 0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(encoding::read_u32_le_bytes(b, 1).value(), 0x11223344u);
  expect_truncated(encoding::read_u32_le_bytes(b, 2), "read_u32_le_bytes: need 4 bytes at 2, have 5");
  expect_truncated(encoding::read_u32_le_bytes(b, 9), "read_u32_le_bytes: need 4 bytes at 9, have 5");
}
