// Garlic cloves: delivery instructions, then one I2NP message with the 9-byte short header.
#include "ratchet/clove.h"

#include <gtest/gtest.h>

#include "tests/ratchet/test_util.h"

namespace ratchet {
namespace {

using test::fails_with;
using test::hex;
using test::to_hex;

TEST(GarlicClove, CarriesTheMessageUnderTheShortHeader) {
  const common::Hash gw = *common::Hash::from_bytes(Bytes(32, 0xab));
  const i2np::I2npPayload status{i2np::I2npPayload::DeliveryStatus{0x01020304, 0x1122334455667788ull}};
  auto block = garlic_clove_block(CloveDelivery::Tunnel{gw, 0x0a0b0c0d}, 0xdeadbeef, 1700000060, status);
  ASSERT_TRUE(block);
  const auto* clove = block->get_if<RatchetBlock::GarlicClove>();
  ASSERT_NE(clove, nullptr);
  EXPECT_EQ(clove->delivery, (CloveDelivery{CloveDelivery::Tunnel{gw, 0x0a0b0c0d}}));
  // type 10, id, expiration in seconds, then the 12-byte body: 9 + 12 bytes, no size or checksum.
  EXPECT_EQ(to_hex(clove->message),
            "0a"
            "deadbeef"
            "6553f13c"
            "01020304"
            "1122334455667788");

  auto wire = encode_blocks({*block});
  ASSERT_TRUE(wire);
  EXPECT_EQ(to_hex(ByteView(*wire).first(4)),
            "0b003a"
            "60");
  EXPECT_EQ(to_hex(ByteView(*wire).subspan(36, 4)), "0a0b0c0d");

  auto opened = decode_garlic_clove_i2np(clove->message);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->first.msg_type, i2np::I2npMessageType::DeliveryStatus);
  EXPECT_EQ(opened->first.msg_id, 0xdeadbeefu);
  EXPECT_EQ(opened->first.expiration, 1700000060u);
  EXPECT_EQ(opened->second, status);
}

TEST(GarlicClove, I2npFailuresAreWrapped) {
  // A TunnelData body must be 1024 bytes.
  const i2np::I2npPayload bad{i2np::I2npPayload::TunnelData{1, Bytes(10)}};
  auto block = garlic_clove_block(CloveDelivery::Local{}, 1, 2, bad);
  ASSERT_TRUE(fails_with(block, RatchetError::I2np));
  ASSERT_NE(block.error().inner(), nullptr);
  EXPECT_TRUE(block.error().inner()->in_family<I2npError>());

  for (const char* h : {"", "0a0102030405060708", "0a010203040506070801020304"}) {
    auto opened = decode_garlic_clove_i2np(hex(h));
    EXPECT_TRUE(fails_with(opened, RatchetError::I2np)) << h;
  }
}

}  // namespace
}  // namespace ratchet
