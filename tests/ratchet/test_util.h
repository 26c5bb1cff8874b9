#pragma once
// Small helpers shared by the garlic tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/sha256.h"
#include "encoding/error.h"
#include "encoding/text.h"
#include "ratchet/elligator_keypair.h"

namespace ratchet::test {

inline Bytes hex(std::string_view h) { return *encoding::hex_decode(h); }
inline std::string to_hex(ByteView b) { return encoding::hex_encode(b); }

inline Bytes fixed(std::uint8_t start, std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(start + i);
  return out;
}

// The failure must be `variant`, with exactly `text` when one is given.
template <typename T>
::testing::AssertionResult fails_with(const Result<T>& r, RatchetError variant,
                                      std::optional<std::string_view> text = std::nullopt) {
  if (r) return ::testing::AssertionFailure() << "succeeded";
  if (!r.error().is(variant))
    return ::testing::AssertionFailure() << "family " << static_cast<int>(r.error().family()) << " code "
                                         << static_cast<int>(r.error().code());
  if (text && r.error().message() != *text)
    return ::testing::AssertionFailure() << "message \"" << r.error().message() << "\"";
  return ::testing::AssertionSuccess();
}

// A RatchetError::Encoding around a reader shortfall.
template <typename T>
::testing::AssertionResult fails_truncated(const Result<T>& r) {
  auto ok = fails_with(r, RatchetError::Encoding);
  if (!ok) return ok;
  const Error* inner = r.error().inner();
  if (inner == nullptr || !inner->is(EncodingError::Truncated))
    return ::testing::AssertionFailure() << "not wrapping EncodingError::Truncated";
  return ::testing::AssertionSuccess();
}

// The records of tests/data/noise-vectors.txt, each a map of its key=value lines.
inline std::vector<std::map<std::string, std::string>> noise_records() {
  std::ifstream in(std::string(ONDREL_TESTDATA_DIR) + "/noise-vectors.txt");
  std::vector<std::map<std::string, std::string>> records;
  std::map<std::string, std::string> current;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() && !current.empty()) {
      records.push_back(std::move(current));
      current.clear();
    }
    if (line.empty() || line[0] == '#') continue;
    const auto eq = line.find('=');
    if (eq != std::string::npos) current[line.substr(0, eq)] = line.substr(eq + 1);
  }
  if (!current.empty()) records.push_back(std::move(current));
  return records;
}

// Replays fixed 32-byte values in order; a draw past the end is an error, so a test sees
// every value a sender took.
struct ScriptedRandom {
  std::vector<std::array<std::uint8_t, 32>> values;
  std::size_t taken = 0;

  RandomSource source() {
    return [this]() -> Result<std::array<std::uint8_t, 32>> {
      if (taken >= values.size()) return fail(NetError::Io, "scripted random source exhausted");
      return values[taken++];
    };
  }
};

template <std::size_t N>
ScriptedRandom script(const char* const (&hex_values)[N]) {
  ScriptedRandom s;
  for (const char* h : hex_values) {
    std::array<std::uint8_t, 32> v;
    const Bytes b = hex(h);
    std::copy(b.begin(), b.end(), v.begin());
    s.values.push_back(v);
  }
  return s;
}

// An endless deterministic source for tests that need keys but not particular ones.
inline RandomSource counting_random(std::uint32_t seed) {
  auto counter = std::make_shared<std::uint32_t>(0);
  return [seed, counter]() -> Result<std::array<std::uint8_t, 32>> {
    const std::uint8_t in[8] = {static_cast<std::uint8_t>(seed >> 24),     static_cast<std::uint8_t>(seed >> 16),
                                static_cast<std::uint8_t>(seed >> 8),      static_cast<std::uint8_t>(seed),
                                static_cast<std::uint8_t>(*counter >> 24), static_cast<std::uint8_t>(*counter >> 16),
                                static_cast<std::uint8_t>(*counter >> 8),  static_cast<std::uint8_t>(*counter)};
    ++*counter;
    return crypto::sha256(ByteView(in, sizeof in));
  };
}

}  // namespace ratchet::test
