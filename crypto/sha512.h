#pragma once
// SHA-512 (FIPS 180-4) as an incremental hasher, and a one-shot helper.
//
// A hasher is spent by finalize: it yields exactly one digest.

#include <array>
#include <cstddef>
#include <cstdint>

#include "encoding/bytes.h"

namespace crypto {

using Sha512Digest = std::array<std::uint8_t, 64>;

class Sha512 {
 public:
  static constexpr std::size_t block_size = 128;
  static constexpr std::size_t digest_size = 64;

  // A fresh hasher holding the standard initial hash value.
  Sha512();

  void update(ByteView data);
  // Pads with the 128-bit bit count, returns the digest. Spends the hasher.
  Sha512Digest finalize();

 private:
  void compress(const std::uint8_t* p, std::size_t n);

  std::array<std::uint64_t, 8> state_;
  std::array<std::uint8_t, block_size> buf_{};
  std::size_t pos_ = 0;           // bytes waiting in buf_, 0..127
  std::uint64_t total_ = 0;       // bytes fed, low 64 bits
  std::uint64_t total_high_ = 0;  // carries out of total_
};

Sha512Digest sha512(ByteView data);

}  // namespace crypto
