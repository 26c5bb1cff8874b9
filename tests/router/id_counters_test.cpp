#include "router/id_counters.h"

#include <gtest/gtest.h>

#include "router/random.h"

namespace router {
namespace {

TEST(IdCounters, NeverHandOutZero) {
  std::uint32_t c = 0;
  EXPECT_EQ(take_id(c), 1u);
  EXPECT_EQ(c, 2u);
  c = 0xFFFFFFFF;
  EXPECT_EQ(take_id(c), 0xFFFFFFFFu);
  EXPECT_EQ(c, 0u);
  EXPECT_EQ(take_id(c), 1u);
}

TEST(IdCounters, StartValuesFromRandomBytes) {
  const Bytes all_ff(12, 0xFF);
  IdCounters c = id_counters_from_random(all_ff);
  EXPECT_EQ(c.next_msg_id, 0x7FFFFFFFu);
  EXPECT_EQ(c.next_tunnel_id, 0x7FFFFFFFu % 0x0FFFFFFFu + 10000u);
  EXPECT_EQ(c.next_stream_id_seed, 0x7FFFFFFFu % 0x0FFFFFFFu + 100u);

  const Bytes zeros(12, 0);
  c = id_counters_from_random(zeros);
  EXPECT_EQ(c.next_msg_id, 1u);
  EXPECT_EQ(c.next_tunnel_id, 10000u);
  EXPECT_EQ(c.next_stream_id_seed, 100u);

  const Bytes mixed{0x12, 0x34, 0x56, 0x78, 0x8F, 0xFF, 0xFF, 0xFE, 0x00, 0x00, 0x01, 0x00};
  c = id_counters_from_random(mixed);
  EXPECT_EQ(c.next_msg_id, 0x12345679u);              // lowest bit set
  EXPECT_EQ(c.next_tunnel_id, 0x0FFFFFFEu + 10000u);  // top bit cleared, below the modulus
  EXPECT_EQ(c.next_stream_id_seed, 256u + 100u);
}

TEST(IdCounters, U32FromBePrefixClearsTheTopBit) {
  EXPECT_EQ(u32_from_be_prefix(Bytes{0xFF, 0xFF, 0xFF, 0xFF}), 0x7FFFFFFFu);
  EXPECT_EQ(u32_from_be_prefix(Bytes{0x80, 0x00, 0x00, 0x01, 0x55}), 1u);
}

TEST(Rotation, WrapsAt0x3FFFFFFF) {
  std::int32_t c = 0x3FFFFFFF;
  EXPECT_EQ(take_rotation(c, 7), static_cast<std::size_t>(0x3FFFFFFF % 7));
  EXPECT_EQ(c, 0);
  EXPECT_EQ(take_rotation(c, 3), 0u);
  EXPECT_EQ(take_rotation(c, 3), 1u);
  EXPECT_EQ(c, 2);
}

TEST(Rotation, OutOfRangeCountersStayDefined) {
  struct Case {
    std::int32_t counter;
    std::size_t n;
    std::size_t index;
    std::int32_t next;
  };
  const Case cases[] = {
      {-7, 5, 0, 0x3FFFFFFA},  // negative: the first candidate
      {-1, 3, 0, 0},
      {0x7FFFFFFF, 4, 3, 0},  // above the range: no signed overflow on the step
      {0x40000000, 3, 1, 1},
  };
  for (const Case& k : cases) {
    std::int32_t c = k.counter;
    EXPECT_EQ(take_rotation(c, k.n), k.index) << k.counter;
    EXPECT_EQ(c, k.next) << k.counter;
  }
}

TEST(RandomValues, NonZeroBytesAndFreshValues) {
  auto bytes = non_zero_random_bytes();
  ASSERT_TRUE(bytes);
  ASSERT_EQ(bytes->size(), 1024u);
  for (std::uint8_t b : *bytes) EXPECT_NE(b, 0);
  auto a = next_rand_32();
  auto b = next_rand_32();
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
}

}  // namespace
}  // namespace router
