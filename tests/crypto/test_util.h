#pragma once
// Helpers shared by the crypto tests: hex in and out, deterministic random bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "encoding/bytes.h"
#include "encoding/text.h"

namespace crypto_test {

inline Bytes unhex(std::string_view text) {
  auto r = encoding::hex_decode(text);
  if (!r) {
    ADD_FAILURE() << "bad hex in test data: " << text;
    return {};
  }
  return *r;
}

template <typename Container>
std::string hex(const Container& c) {
  return encoding::hex_encode(ByteView(c.data(), c.size()));
}

inline Bytes random_bytes(std::mt19937_64& rng, std::size_t n) {
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

}  // namespace crypto_test
