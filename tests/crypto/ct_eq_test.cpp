#include "crypto/ct_eq.h"

#include <gtest/gtest.h>

TEST(CtEq, EqualityByLengthAndContent) {
  const Bytes a{1, 2, 3, 4};
  const Bytes last_differs{1, 2, 3, 5};
  const Bytes first_differs{0, 2, 3, 4};
  EXPECT_TRUE(crypto::ct_eq(Bytes{}, Bytes{}));
  EXPECT_TRUE(crypto::ct_eq(a, Bytes{1, 2, 3, 4}));
  EXPECT_FALSE(crypto::ct_eq(a, last_differs));
  EXPECT_FALSE(crypto::ct_eq(a, first_differs));
  EXPECT_FALSE(crypto::ct_eq(a, Bytes{1, 2, 3}));
  EXPECT_FALSE(crypto::ct_eq(Bytes{}, Bytes{0}));
}

TEST(CtEq, EverySingleBitDifferenceIsSeen) {
  Bytes a(32);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<std::uint8_t>(i * 7);
  for (std::size_t i = 0; i < a.size() * 8; ++i) {
    Bytes b = a;
    b[i / 8] ^= static_cast<std::uint8_t>(1u << (i % 8));
    EXPECT_FALSE(crypto::ct_eq(a, b)) << "bit " << i;
  }
}
