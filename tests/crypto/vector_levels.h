#pragma once
// The vector levels of ChaCha20 and Poly1305 as a test parameter: a test written on
// a fixture derived from VectorLevel runs once per level and is skipped where this
// CPU lacks that level, so every code path a CPU can take is checked on it.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "crypto/cpu_features.h"

namespace crypto_test {

inline constexpr crypto::VectorIsa all_vector_isas[] = {crypto::VectorIsa::Portable, crypto::VectorIsa::Ssse3,
                                                        crypto::VectorIsa::Avx2, crypto::VectorIsa::Avx512};

class VectorLevel : public ::testing::TestWithParam<crypto::VectorIsa> {
 protected:
  void SetUp() override {
    if (!crypto::vector_isa_supported(GetParam())) GTEST_SKIP() << "this CPU has no " << crypto::to_string(GetParam());
  }
  static crypto::VectorIsa isa() { return GetParam(); }
};

inline std::string vector_level_name(const ::testing::TestParamInfo<crypto::VectorIsa>& info) {
  return crypto::to_string(info.param);
}

}  // namespace crypto_test

namespace crypto {
// Test failures name the level rather than its byte.
inline void PrintTo(VectorIsa isa, std::ostream* os) { *os << to_string(isa); }
}  // namespace crypto

#define ONDREL_VECTOR_LEVELS(Fixture)                                                          \
  INSTANTIATE_TEST_SUITE_P(Levels, Fixture, ::testing::ValuesIn(crypto_test::all_vector_isas), \
                           crypto_test::vector_level_name)
