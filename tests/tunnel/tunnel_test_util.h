#pragma once
// Inputs shared by the tunnel tests; pattern() and the gateway hash are the ones
// tests/tunnel/tunnel_kat.py uses.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

#include "common/hash.h"
#include "crypto/sha256.h"
#include "encoding/bytes.h"
#include "encoding/text.h"
#include "tunnel/hop_keys.h"

namespace tunnel_test {

// pattern(n, seed)[i] = (seed + 13 i) mod 256.
inline Bytes pattern(std::size_t n, unsigned seed) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(seed + 13 * i);
  return out;
}

inline tunnel::Key32 key32(unsigned seed) {
  tunnel::Key32 k{};
  const Bytes p = pattern(32, seed);
  std::copy(p.begin(), p.end(), k.begin());
  return k;
}

inline common::Hash gateway() { return common::Hash{crypto::sha256(as_bytes("gateway router"))}; }

inline Bytes unhex(std::string_view text) {
  auto r = encoding::hex_decode(text);
  if (!r) {
    ADD_FAILURE() << "bad hex in test data";
    return {};
  }
  return *r;
}

inline std::string hex(ByteView b) { return encoding::hex_encode(b); }

inline Bytes random_bytes(std::mt19937_64& rng, std::size_t n) {
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

}  // namespace tunnel_test
