#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "noise/concat.h"
#include "tunnel/bytes.h"

namespace tunnel {
namespace {

TEST(TunnelBytes, SliceCopiesTheRange) {
  const Bytes b = {0, 1, 2, 3, 4, 5};
  constexpr std::int64_t big = std::numeric_limits<std::int64_t>::max();
  struct Case {
    std::int64_t start, length;
    Bytes expected;
  };
  const Case cases[] = {
      {0, 6, b},       {2, 3, {2, 3, 4}}, {5, 1, {5}},
      {3, 0, {}},      {3, -2, {}},       {6, 0, {}},  // the edges a caller may reach
      {4, 10, {4, 5}}, {-2, 4, {0, 1}},   {9, 1, {}},
      {big, big, {}},  {-big, big, {}},   {1, big, {1, 2, 3, 4, 5}},  // strays are cut, never read past the end
  };
  for (const Case& c : cases) EXPECT_EQ(t_slice(b, c.start, c.length), c.expected) << c.start << " " << c.length;
}

TEST(TunnelBytes, ConcatIsNoiseConcat) {
  EXPECT_EQ(&t_concat, &noise::concat_bytes);
  EXPECT_EQ(t_concat(Bytes{1, 2}, Bytes{3}), (Bytes{1, 2, 3}));
}

}  // namespace
}  // namespace tunnel
