#pragma once
// SHA-256 (FIPS 180-4) as an incremental hasher, and a one-shot helper.
//
// A hasher is spent by finalize: it yields exactly one digest. Callers that need a
// second digest create a second hasher.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "crypto/cpu_features.h"
#include "encoding/bytes.h"

namespace crypto {

using Sha256Digest = std::array<std::uint8_t, 32>;

// The ways blocks can be compressed, slowest first; all give the same digests.
enum class Sha256Isa : std::uint8_t {
  Portable,  // plain C++
  Ssse3,     // the message schedule four words at a time in 128-bit vectors
  Avx2,      // the schedules of two blocks at once in 256-bit vectors, rotations by BMI2
  Sha,       // the CPU's SHA instructions
};

// The fastest way this CPU allows, chosen once (ONDREL_CPU_CAP holds it lower).
Sha256Isa best_sha256_isa();
// Whether this CPU runs `isa`.
bool sha256_isa_supported(Sha256Isa isa);
const char* to_string(Sha256Isa isa);

class Sha256 {
 public:
  static constexpr std::size_t block_size = 64;
  static constexpr std::size_t digest_size = 32;

  // A fresh hasher holding the standard initial hash value.
  explicit Sha256(Engine engine = Engine::Best);
  // One that compresses by `isa`, or by the best way when this CPU lacks it.
  explicit Sha256(Sha256Isa isa);

  // Absorbs data of any length, also empty.
  void update(ByteView data);
  // Pads, compresses the last block(s) and returns the digest. Spends the hasher.
  Sha256Digest finalize();

 private:
  // Compresses n whole blocks starting at p into the state.
  void compress(const std::uint8_t* p, std::size_t n);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, block_size> buf_{};
  std::size_t pos_ = 0;      // bytes waiting in buf_, 0..63
  std::uint64_t total_ = 0;  // bytes fed so far
  Sha256Isa isa_;
};

Sha256Digest sha256(ByteView data);

// sha256(messages[i]) into digests[i] for every i (the spans have the same size). At the
// Avx512 level sixteen messages go through the rounds side by side, one per vector lane,
// which beats the SHA instructions' one message at a time when there are eight or more;
// below it, and for the last few, one after another (the SHA instructions above the
// Portable level, where the CPU has them). A level the CPU lacks runs as its best one.
void sha256_many(std::span<const ByteView> messages, std::span<Sha256Digest> digests,
                 VectorIsa isa = best_vector_isa());

}  // namespace crypto
