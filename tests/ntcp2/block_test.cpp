#include "ntcp2/block.h"

#include <gtest/gtest.h>

#include <string>

#include "encoding/text.h"
#include "i2np/message.h"
#include "ntcp2/options.h"

namespace ntcp2 {
namespace {

Bytes hex(std::string_view h) { return *encoding::hex_decode(h); }

// Wire bytes written out by hand from the block layout: type, u16 length, body.
TEST(Ntcp2Blocks, EncodesEveryTypeToTheWireLayout) {
  std::vector<Ntcp2Block> blocks = {
      Ntcp2Block::DateTime{0x01020304},
      Ntcp2Block::Options{{0xaa}},
      Ntcp2Block::RouterInfo{0x01, {0xbb, 0xcc}},
      Ntcp2Block::I2np{{0x11, 0x22, 0x33}},
      Ntcp2Block::Termination{0x0102030405060708ull, 9, {0xee}},
      Ntcp2Block::Padding{{}},
      Ntcp2Block::Unknown{5, {0x77}},
  };
  auto wire = encode_blocks(blocks);
  ASSERT_TRUE(wire);
  EXPECT_EQ(encoding::hex_encode(*wire),
            "00000401020304"
            "010001aa"
            "020003"
            "01bbcc"
            "030003112233"
            "04000a"
            "0102030405060708"
            "09"
            "ee"
            "fe0000"
            "05000177");
  auto back = decode_blocks(*wire);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, blocks);
}

TEST(Ntcp2Blocks, EmptyListAndEmptyInput) {
  auto wire = encode_blocks({});
  ASSERT_TRUE(wire);
  EXPECT_TRUE(wire->empty());
  auto blocks = decode_blocks({});
  ASSERT_TRUE(blocks);
  EXPECT_TRUE(blocks->empty());
}

TEST(Ntcp2Blocks, UnknownTypesRoundTripUnchanged) {
  for (std::string h : {"050002abcd", "ff0000", "fd0001ff"}) {
    auto blocks = decode_blocks(hex(h));
    ASSERT_TRUE(blocks) << h;
    ASSERT_EQ(blocks->size(), 1u);
    ASSERT_TRUE((*blocks)[0].is<Ntcp2Block::Unknown>()) << h;
    EXPECT_EQ(encoding::hex_encode(*encode_blocks(*blocks)), h);
  }
}

TEST(Ntcp2Blocks, BodyLimitsPerType) {
  struct Case {
    Ntcp2Block block;
    bool ok;
    std::string message;
  };
  const Bytes max(65535, 1), over(65536, 1);
  std::vector<Case> cases = {
      {Ntcp2Block::RouterInfo{0, Bytes(65534, 1)}, true, ""},
      {Ntcp2Block::RouterInfo{0, max}, false, "NTCP2 RouterInfo block exceeds 65535 bytes"},
      {Ntcp2Block::Termination{0, 0, Bytes(65526, 1)}, true, ""},
      {Ntcp2Block::Termination{0, 0, Bytes(65527, 1)}, false, "NTCP2 Termination block exceeds 65535 bytes"},
      {Ntcp2Block::I2np{max}, true, ""},
      {Ntcp2Block::I2np{over}, false, "NTCP2 I2NP block exceeds 65535 bytes"},
      {Ntcp2Block::Options{over}, false, "NTCP2 Options block exceeds 65535 bytes"},
      {Ntcp2Block::Padding{over}, false, "NTCP2 Padding block exceeds 65535 bytes"},
      {Ntcp2Block::Unknown{9, over}, false, "NTCP2 block exceeds 65535 bytes"},
  };
  for (const Case& c : cases) {
    auto r = encode_blocks({Ntcp2Block::Padding{{1}}, c.block});
    if (c.ok) {
      ASSERT_TRUE(r) << c.message;
      EXPECT_EQ(r->size(), 4u + 3u + 65535u);
      auto back = decode_blocks(*r);
      ASSERT_TRUE(back);
      EXPECT_EQ((*back)[1], c.block);
    } else {
      ASSERT_FALSE(r);
      EXPECT_TRUE(r.error().is(Ntcp2Error::Malformed));
      EXPECT_EQ(r.error().message(), c.message);
    }
  }
}

// A message appended where a frame is gathered: the same bytes as the message encoded on
// its own and then put in an I2np block, behind what the buffer held. A message too long
// for a block, or one that cannot be encoded, leaves the buffer as it was.
TEST(Ntcp2Blocks, AppendedI2npBlocks) {
  i2np::I2npPayload::DatabaseSearchReply reply;
  reply.key.bytes.fill(3);
  reply.peers.resize(4);
  const std::vector<i2np::I2npPayload> fits = {
      i2np::I2npPayload{i2np::I2npPayload::Data{Bytes(100, 9)}},
      i2np::I2npPayload{i2np::I2npPayload::Data{Bytes(65535 - 9 - 4, 1)}},  // the longest block
      i2np::I2npPayload{i2np::I2npPayload::TunnelData{7, Bytes(1024, 2)}},
      i2np::I2npPayload{i2np::I2npPayload::DeliveryStatus{5, 6}},
      i2np::I2npPayload{reply},  // size known only once written
  };
  for (const i2np::I2npPayload& m : fits) {
    const Bytes before = {0xAA, 0xBB};
    Bytes out = before;
    ASSERT_TRUE(append_i2np_block(out, 42, 1700000000, m));
    Bytes want = before;
    const Bytes alone = *encode_blocks({Ntcp2Block::I2np{*i2np::encode_short_message(42, 1700000000, m)}});
    want.insert(want.end(), alone.begin(), alone.end());
    EXPECT_EQ(out, want);
  }

  struct Refusal {
    i2np::I2npPayload message;
    Ntcp2Error error;
  };
  const std::vector<Refusal> refused = {
      {i2np::I2npPayload{i2np::I2npPayload::Data{Bytes(65535 - 9 - 3, 1)}}, Ntcp2Error::Malformed},
      {i2np::I2npPayload{i2np::I2npPayload::TunnelData{7, Bytes(1000, 2)}}, Ntcp2Error::I2np},
  };
  for (const Refusal& r : refused) {
    Bytes out = {1, 2, 3};
    auto got = append_i2np_block(out, 1, 2, r.message);
    ASSERT_FALSE(got);
    EXPECT_TRUE(got.error().is(r.error));
    EXPECT_EQ(out, (Bytes{1, 2, 3}));
  }
}

TEST(Ntcp2Blocks, DecodeRefusals) {
  struct Case {
    std::string wire;
    Ntcp2Error variant;
    std::string message;  // empty: only the variant is checked
  };
  std::vector<Case> cases = {
      {"000003010203", Ntcp2Error::Malformed, "NTCP2 DateTime block must be 4 bytes, got 3"},
      {"0000050102030405", Ntcp2Error::Malformed, "NTCP2 DateTime block must be 4 bytes, got 5"},
      {"020000", Ntcp2Error::Malformed, "NTCP2 RouterInfo block must be at least 1 byte"},
      {"0400080102030405060708", Ntcp2Error::Malformed, "NTCP2 Termination block must be at least 9 bytes, got 8"},
      {"fe", Ntcp2Error::Encoding, ""},        // cut inside the header
      {"fe00", Ntcp2Error::Encoding, ""},      // cut inside the length
      {"fe000301", Ntcp2Error::Encoding, ""},  // body shorter than announced
      {"fe0000"
       "0300",
       Ntcp2Error::Encoding, ""},  // good block, then a cut one
  };
  for (const Case& c : cases) {
    auto r = decode_blocks(hex(c.wire));
    ASSERT_FALSE(r) << c.wire;
    EXPECT_TRUE(r.error().is(c.variant)) << c.wire;
    if (!c.message.empty()) {
      EXPECT_EQ(r.error().message(), c.message);
    }
    if (c.variant == Ntcp2Error::Encoding) {
      ASSERT_NE(r.error().inner(), nullptr);
      EXPECT_TRUE(r.error().inner()->is(EncodingError::Truncated));
    }
  }
}

TEST(Ntcp2Blocks, ShortestBodiesThatDecode) {
  auto blocks =
      decode_blocks(hex("020001"
                        "07"
                        "040009"
                        "000000000000002a"
                        "03"));
  ASSERT_TRUE(blocks);
  ASSERT_EQ(blocks->size(), 2u);
  EXPECT_EQ((*blocks)[0], Ntcp2Block(Ntcp2Block::RouterInfo{7, {}}));
  EXPECT_EQ((*blocks)[1], Ntcp2Block(Ntcp2Block::Termination{42, 3, {}}));
}

TEST(Ntcp2Options, WireLayouts) {
  SessionRequestOptions req{2, 2, 16, 0x0140, 0x65536f00};
  EXPECT_EQ(encoding::hex_encode(req.encode()),
            "0202"
            "0010"
            "0140"
            "0000"
            "65536f00"
            "00000000");
  EXPECT_EQ(*SessionRequestOptions::decode(req.encode()), req);
  SessionCreatedOptions created{16, 0x65536f01};
  EXPECT_EQ(encoding::hex_encode(created.encode()),
            "0000"
            "0010"
            "00000000"
            "65536f01"
            "00000000");
  EXPECT_EQ(*SessionCreatedOptions::decode(created.encode()), created);
  // Reserved fields are ignored on receipt.
  auto odd = SessionCreatedOptions::decode(hex("ffff0003ffffffff00000009ffffffff"));
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->pad_len, 3);
  EXPECT_EQ(odd->timestamp, 9u);
  auto shortfall = SessionRequestOptions::decode(hex("0202001000400000"));
  ASSERT_FALSE(shortfall);
  EXPECT_TRUE(shortfall.error().is(Ntcp2Error::Encoding));
}

}  // namespace
}  // namespace ntcp2
