#include <gtest/gtest.h>

#include <string>

#include "common/mapping.h"
#include "encoding/reader.h"
#include "encoding/writer.h"
#include "encoding/text.h"

using common::Mapping;

namespace {

Result<Bytes> encode(const Mapping& m) {
  encoding::Writer w;
  auto ok = m.encode(w);
  if (!ok) return std::unexpected(ok.error());
  return w.buf;
}

Result<Mapping> decode(const Bytes& bytes) {
  encoding::Reader r(bytes);
  return Mapping::decode(r);
}

}  // namespace

TEST(Mapping, EncodesSortedByKey) {
  Mapping m = Mapping::from_entries({{"port", "9"}, {"host", "1.2.3.4"}});
  auto bytes = encode(m);
  ASSERT_TRUE(bytes);
  Bytes expected = {0x00, 0x18, 0x04, 'h',  'o',  's', 't', 0x3D, 0x07, '1',  '.',  '2', '.',
                    '3',  '.',  '4',  0x3B, 0x04, 'p', 'o', 'r',  't',  0x3D, 0x01, '9', 0x3B};
  EXPECT_EQ(*bytes, expected);
  // The Mapping itself keeps its order.
  EXPECT_EQ(m.entries[0].first, "port");
}

TEST(Mapping, UnsignedByteOrderPrefixFirstDuplicatesStable) {
  Mapping m =
      Mapping::from_entries({{"ab", "1"}, {"a", "first"}, {"\xC3\xA9", "e-acute"}, {"B", "2"}, {"a", "second"}});
  auto bytes = encode(m);
  ASSERT_TRUE(bytes);
  auto back = decode(*bytes);
  ASSERT_TRUE(back);
  std::vector<std::pair<std::string, std::string>> expected = {
      {"B", "2"}, {"a", "first"}, {"a", "second"}, {"ab", "1"}, {"\xC3\xA9", "e-acute"}};
  EXPECT_EQ(back->entries, expected);
  EXPECT_EQ(back->get("a"), "first");
  EXPECT_EQ(back->get("missing"), std::nullopt);
}

TEST(Mapping, DecodeKeepsOrderAndReencodesSorted) {
  // z=1; then a=2; on the wire, duplicates and empty values allowed.
  Bytes wire = {0x00, 0x11, 0x01, 'z',  0x3D, 0x01, '1',  0x3B, 0x01, 'a',
                0x3D, 0x00, 0x3B, 0x01, 'z',  0x3D, 0x01, '3',  0x3B};
  wire[1] = static_cast<std::uint8_t>(wire.size() - 2);
  auto m = decode(wire);
  ASSERT_TRUE(m);
  std::vector<std::pair<std::string, std::string>> in_order = {{"z", "1"}, {"a", ""}, {"z", "3"}};
  EXPECT_EQ(m->entries, in_order);
  auto again = encode(*m);
  ASSERT_TRUE(again);
  Bytes sorted = {0x00, 0x11, 0x01, 'a',  0x3D, 0x00, 0x3B, 0x01, 'z', 0x3D,
                  0x01, '1',  0x3B, 0x01, 'z',  0x3D, 0x01, '3',  0x3B};
  sorted[1] = static_cast<std::uint8_t>(sorted.size() - 2);
  EXPECT_EQ(*again, sorted);
}

TEST(Mapping, DecodeEmptyAndErrors) {
  auto empty = decode({0x00, 0x00});
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->entries.empty());

  struct Row {
    Bytes wire;
    CommonError error;
    const char* message;  // nullptr: truncated input
  };
  const Row rows[] = {
      {{0x00, 0x04, 0x01, 0x61, 0x3A, 0x00}, CommonError::Unsupported, "expected '=' in Mapping, got 58"},
      {{0x00, 0x06, 0x01, 0x61, 0x3D, 0x01, 0x62, 0x2C}, CommonError::Unsupported, "expected ';' in Mapping, got 44"},
      {{0x00, 0x03, 0x01, 0x61, 0x3D}, CommonError::Encoding, nullptr},
      {{0x00, 0x05, 0x01, 0x61}, CommonError::Encoding, nullptr},
      {{0x00}, CommonError::Encoding, nullptr},
      {{0x00, 0x06, 0x02, 0xFF, 0xFE, 0x3D, 0x00, 0x3B}, CommonError::Encoding, nullptr},  // key not UTF-8
  };
  for (const Row& row : rows) {
    auto m = decode(row.wire);
    ASSERT_FALSE(m);
    EXPECT_TRUE(m.error().is(row.error)) << encoding::hex_encode(row.wire);
    if (row.message != nullptr) {
      EXPECT_EQ(m.error().message(), row.message);
    }
    if (row.error == CommonError::Encoding) {
      ASSERT_NE(m.error().inner(), nullptr);
      EXPECT_TRUE(m.error().inner()->in_family<EncodingError>());
    }
  }
}

TEST(Mapping, EncodeLimits) {
  // A 256-byte key is refused by the string writer.
  auto long_key = encode(Mapping::from_entries({{std::string(256, 'k'), "v"}}));
  ASSERT_FALSE(long_key);
  EXPECT_TRUE(long_key.error().is(CommonError::Encoding));
  ASSERT_NE(long_key.error().inner(), nullptr);
  EXPECT_TRUE(long_key.error().inner()->is(EncodingError::LimitExceeded));
  EXPECT_EQ(long_key.error().inner()->message(), "I2P string exceeds 255 UTF-8 bytes: 256");

  auto long_value = encode(Mapping::from_entries({{"k", std::string(300, 'v')}}));
  ASSERT_FALSE(long_value);
  EXPECT_TRUE(long_value.error().is(CommonError::Encoding));

  // 255-byte key and value fit; each entry is 1 + 255 + 1 + 1 + 255 + 1 = 514 bytes.
  std::vector<std::pair<std::string, std::string>> entries;
  for (int i = 0; i < 127; ++i)
    entries.emplace_back(std::string(252, 'k') + std::to_string(100 + i), std::string(255, 'v'));
  auto fits = encode(Mapping::from_entries(entries));
  ASSERT_TRUE(fits);
  EXPECT_EQ(fits->size(), 2u + 127u * 514u);

  entries.emplace_back(std::string(252, 'k') + "227", std::string(255, 'v'));
  auto too_big = encode(Mapping::from_entries(entries));
  ASSERT_FALSE(too_big);
  EXPECT_TRUE(too_big.error().is(CommonError::Invalid));
  EXPECT_EQ(too_big.error().message(), "Mapping exceeds 65535 bytes: 65792");
}
