// The garlic block codec against wire bytes written out by hand from the block layout, its
// refusals with their exact texts, and the encode limits at and one past the limit.
#include "ratchet/block.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/ratchet/test_util.h"

namespace ratchet {
namespace {

using test::fails_truncated;
using test::fails_with;
using test::hex;
using test::to_hex;

std::string rep(std::string_view two_hex_digits, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += two_hex_digits;
  return out;
}

TEST(RatchetBlocks, EncodesEveryTypeToTheWireLayout) {
  const common::Hash dest = *common::Hash::from_bytes(Bytes(32, 0xd0));
  const common::Hash router = *common::Hash::from_bytes(Bytes(32, 0xe0));
  const common::Hash gw = *common::Hash::from_bytes(Bytes(32, 0xab));
  const RatchetBlocks blocks = {
      RatchetBlock::DateTime{0x01020304},
      RatchetBlock::Termination{7, {0xee, 0xff}},
      RatchetBlock::Options{{0xaa}},
      RatchetBlock::MessageNumber{0x0102},
      RatchetBlock::NextKey{0x01, 0x0304, Bytes(32, 0x11)},
      RatchetBlock::NextKey{0x02, 0x0506, std::nullopt},
      RatchetBlock::Ack{{{1, 2}, {0x0304, 0x0506}}},
      RatchetBlock::AckRequest{0x00},
      RatchetBlock::GarlicClove{CloveDelivery::Local{}, {0x14, 0x15}},
      RatchetBlock::GarlicClove{CloveDelivery::Destination{dest}, {0x17}},
      RatchetBlock::GarlicClove{CloveDelivery::Router{router}, {0x18}},
      RatchetBlock::GarlicClove{CloveDelivery::Tunnel{gw, 0x0a0b0c0d}, {0x16}},
      RatchetBlock::Padding{{}},
      RatchetBlock::Unknown{3, {0x77}},
  };
  const std::string expected =
      "00000401020304"
      "040003"
      "07eeff"
      "050001aa"
      "0600020102"
      "070023"
      "01"
      "0304" +
      rep("11", 32) +
      "070003"
      "02"
      "0506"
      "080008"
      "00010002"
      "03040506"
      "09000100"
      "0b0003"
      "00"
      "1415"
      "0b0022"
      "20" +
      rep("d0", 32) +
      "17"
      "0b0022"
      "40" +
      rep("e0", 32) +
      "18"
      "0b0026"
      "60" +
      rep("ab", 32) +
      "0a0b0c0d"
      "16"
      "fe0000"
      "03000177";
  auto wire = encode_blocks(blocks);
  ASSERT_TRUE(wire);
  EXPECT_EQ(to_hex(*wire), expected);
  EXPECT_EQ(encoded_blocks_size(blocks).value(), wire->size());

  auto back = decode_blocks(*wire);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, blocks);
}

TEST(RatchetBlocks, EmptyListAndEmptyPayload) {
  auto wire = encode_blocks({});
  ASSERT_TRUE(wire);
  EXPECT_TRUE(wire->empty());
  auto blocks = decode_blocks({});
  ASSERT_TRUE(blocks);
  EXPECT_TRUE(blocks->empty());
}

TEST(RatchetBlocks, UnknownTypesRoundTripUnchanged) {
  for (std::string h : {"010003616263", "020000", "0300020102", "0a0001ff", "0c0000", "fd0001ee", "ff0000"}) {
    auto blocks = decode_blocks(hex(h));
    ASSERT_TRUE(blocks) << h;
    ASSERT_EQ(blocks->size(), 1u);
    const auto* unknown = (*blocks)[0].get_if<RatchetBlock::Unknown>();
    ASSERT_NE(unknown, nullptr) << h;
    EXPECT_EQ(unknown->block_type, hex(h)[0]);
    EXPECT_EQ(to_hex(*encode_blocks(*blocks)), h);
  }
}

// Bodies the decoder takes, including the odd ones a peer may send.
TEST(RatchetBlocks, DecodesOddButValidBodies) {
  const struct {
    const char* name;
    std::string wire;
    RatchetBlock block;
  } cases[] = {
      {"empty Ack", "080000", RatchetBlock::Ack{}},
      {"NextKey of 35 bytes without the key flag ignores the rest",
       "070023"
       "00"
       "0102" +
           rep("99", 32),
       RatchetBlock::NextKey{0x00, 0x0102, std::nullopt}},
      {"NextKey with a key and bytes after it",
       "070025"
       "03"
       "0102" +
           rep("99", 32) + "aabb",
       RatchetBlock::NextKey{0x03, 0x0102, Bytes(32, 0x99)}},
      {"Termination with only a reason", "04000109", RatchetBlock::Termination{9, {}}},
      {"clove 0x90 skips 32 bytes after the flag and 4 after the empty fields",
       "0b0027"
       "90" +
           rep("77", 32) +
           "01020304"
           "beef",
       RatchetBlock::GarlicClove{CloveDelivery::Local{}, {0xbe, 0xef}}},
      {"clove 0xf0 skips around the tunnel fields",
       "0b004a"
       "f0" +
           rep("77", 32) + rep("ab", 32) + "00000009" +
           "01020304"
           "be",
       RatchetBlock::GarlicClove{CloveDelivery::Tunnel{*common::Hash::from_bytes(Bytes(32, 0xab)), 9}, {0xbe}}},
      {"clove flag bits 3-0 are ignored",
       "0b0002"
       "0f"
       "aa",
       RatchetBlock::GarlicClove{CloveDelivery::Local{}, {0xaa}}},
      {"clove with an empty message",
       "0b0001"
       "00",
       RatchetBlock::GarlicClove{CloveDelivery::Local{}, {}}},
  };
  for (const auto& c : cases) {
    auto blocks = decode_blocks(hex(c.wire));
    ASSERT_TRUE(blocks) << c.name;
    ASSERT_EQ(blocks->size(), 1u) << c.name;
    EXPECT_EQ((*blocks)[0], c.block) << c.name;
  }
}

TEST(RatchetBlocks, DecodeRefusalsWithTheirTexts) {
  const struct {
    const char* name;
    std::string wire;
    RatchetError variant;
    const char* text;  // nullptr: a reader shortfall wrapped in RatchetError::Encoding
  } cases[] = {
      {"one byte of header", "00", RatchetError::Encoding, nullptr},
      {"two bytes of header", "0000", RatchetError::Encoding, nullptr},
      {"length past the end", "fe0005010203", RatchetError::Encoding, nullptr},
      {"a good block, then a cut header",
       "00000401020304"
       "fe00",
       RatchetError::Encoding, nullptr},
      {"DateTime of 3", "000003010203", RatchetError::Malformed, "DateTime block must be 4 bytes, got 3"},
      {"DateTime of 5", "0000050102030405", RatchetError::Malformed, "DateTime block must be 4 bytes, got 5"},
      {"empty Termination", "040000", RatchetError::Malformed, "Termination block must be at least 1 byte"},
      {"MessageNumber of 1", "06000101", RatchetError::Malformed, "MessageNumber block must be 2 bytes, got 1"},
      {"MessageNumber of 3", "060003010203", RatchetError::Malformed, "MessageNumber block must be 2 bytes, got 3"},
      {"NextKey of 2", "0700020102", RatchetError::Malformed, "NextKey block shorter than 3 bytes"},
      {"NextKey of 3 with the key flag", "070003010203", RatchetError::Encoding, nullptr},
      {"NextKey of 34 with the key flag",
       "070022"
       "01"
       "0203" +
           rep("99", 31),
       RatchetError::Encoding, nullptr},
      {"Ack of 6", "080006010203040506", RatchetError::Malformed, "Ack block size must be multiple of 4 bytes"},
      {"AckRequest of 0", "090000", RatchetError::Malformed, "AckRequest block must be 1 byte"},
      {"AckRequest of 2", "0900020102", RatchetError::Malformed, "AckRequest block must be 1 byte"},
      {"clove without a flag", "0b0000", RatchetError::Encoding, nullptr},
      {"Destination clove with 31 hash bytes",
       "0b0020"
       "20" +
           rep("aa", 31),
       RatchetError::Common, nullptr},
      {"Router clove with no hash",
       "0b0001"
       "40",
       RatchetError::Common, nullptr},
      {"Tunnel clove 0x60 needs 36 bytes of fields",
       "0b0024"
       "60" +
           rep("aa", 32) + "000000",
       RatchetError::Encoding, nullptr},
      {"clove 0x80 with 31 bytes to skip",
       "0b0020"
       "80" +
           rep("aa", 31),
       RatchetError::Encoding, nullptr},
      {"clove 0x10 with 3 bytes to skip",
       "0b0004"
       "10"
       "010203",
       RatchetError::Encoding, nullptr},
      {"clove flag 0x2f: a Destination clove cut short",
       "0b0002"
       "2f"
       "aa",
       RatchetError::Common, nullptr},
      // The clove's body ends after its flag; its hash must not be read from the next block.
      {"clove fields never read into the next block",
       "0b0001"
       "20"
       "fe0020" +
           rep("aa", 32),
       RatchetError::Common, nullptr},
  };
  for (const auto& c : cases) {
    auto blocks = decode_blocks(hex(c.wire));
    if (c.text != nullptr) {
      EXPECT_TRUE(fails_with(blocks, c.variant, c.text)) << c.name;
    } else if (c.variant == RatchetError::Encoding) {
      EXPECT_TRUE(fails_truncated(blocks)) << c.name;
    } else {
      EXPECT_TRUE(fails_with(blocks, c.variant)) << c.name;
    }
  }
}

TEST(RatchetBlocks, EncodeLimitsAtAndPastTheLimit) {
  using Ack = RatchetBlock::Ack;
  const Ack max_ack{std::vector<RatchetBlock::AckEntry>(16383)};
  const Ack over_ack{std::vector<RatchetBlock::AckEntry>(16384)};
  const common::Hash gw{};
  const struct {
    const char* name;
    RatchetBlock at_limit;
    RatchetBlock over;
    const char* text;
  } cases[] = {
      {"Termination", RatchetBlock::Termination{1, Bytes(65534)}, RatchetBlock::Termination{1, Bytes(65535)},
       "Termination block exceeds 65535 bytes"},
      {"Options", RatchetBlock::Options{Bytes(65535)}, RatchetBlock::Options{Bytes(65536)},
       "Options block exceeds 65535 bytes"},
      {"Padding", RatchetBlock::Padding{Bytes(65535)}, RatchetBlock::Padding{Bytes(65536)},
       "Padding block exceeds 65535 bytes"},
      {"Unknown", RatchetBlock::Unknown{200, Bytes(65535)}, RatchetBlock::Unknown{200, Bytes(65536)},
       "Ratchet block exceeds 65535 bytes"},
      {"Ack", max_ack, over_ack, "Ack block exceeds 65535 bytes"},
      {"Local clove", RatchetBlock::GarlicClove{CloveDelivery::Local{}, Bytes(65534)},
       RatchetBlock::GarlicClove{CloveDelivery::Local{}, Bytes(65535)}, "GarlicClove block exceeds 65535 bytes"},
      {"Tunnel clove", RatchetBlock::GarlicClove{CloveDelivery::Tunnel{gw, 1}, Bytes(65535 - 37)},
       RatchetBlock::GarlicClove{CloveDelivery::Tunnel{gw, 1}, Bytes(65535 - 36)},
       "GarlicClove block exceeds 65535 bytes"},
      {"NextKey", RatchetBlock::NextKey{1, 2, Bytes(32)}, RatchetBlock::NextKey{1, 2, Bytes(31)},
       "NextKey public_key must be 32 bytes"},
  };
  for (const auto& c : cases) {
    auto ok = encode_blocks({c.at_limit});
    ASSERT_TRUE(ok) << c.name;
    auto back = decode_blocks(*ok);
    ASSERT_TRUE(back) << c.name;
    EXPECT_EQ(*back, RatchetBlocks{c.at_limit}) << c.name;
    // The failing block comes after a good one: no partial payload, the first error wins.
    auto bad = encode_blocks({RatchetBlock::DateTime{1}, c.over, RatchetBlock::Padding{Bytes(70000)}});
    EXPECT_TRUE(fails_with(bad, RatchetError::Malformed, c.text)) << c.name;
    EXPECT_TRUE(fails_with(encoded_blocks_size(RatchetBlocks{c.over}), RatchetError::Malformed, c.text)) << c.name;
  }
}

TEST(RatchetBlocks, NextKeyFlagsAreWrittenAsGiven) {
  // Bit 0 without a key is written as given; the decoder then wants the key that is not there.
  auto wire = encode_blocks({RatchetBlock::NextKey{0x01, 7, std::nullopt}});
  ASSERT_TRUE(wire);
  EXPECT_EQ(to_hex(*wire), "070003010007");
  EXPECT_TRUE(fails_truncated(decode_blocks(*wire)));
  // A key without bit 0 is written too, and read back without it.
  wire = encode_blocks({RatchetBlock::NextKey{0x00, 7, Bytes(32, 5)}});
  ASSERT_TRUE(wire);
  auto back = decode_blocks(*wire);
  ASSERT_TRUE(back);
  EXPECT_EQ((*back)[0], (RatchetBlock::NextKey{0x00, 7, std::nullopt}));
}

}  // namespace
}  // namespace ratchet
