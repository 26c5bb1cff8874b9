#pragma once
// Random values of the router. Keys, nonces, identities and tags come from the operating
// system's random source; filler that nobody must keep secret (padding) comes from a
// generator in user space keyed from it. A failed read is an error for the caller; fixed
// bytes never stand in for random ones.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace router {

// n random bytes; a failed read is a RouterError::Net around the platform's error.
Result<Bytes> random_bytes(std::size_t n);

// 32 random bytes (also the random source handed to the ratchet).
Result<std::array<std::uint8_t, 32>> next_rand_32();

// 1024 random bytes, each 0 replaced by 0x01.
Result<Bytes> non_zero_random_bytes();

// Filler bytes: the ChaCha20 key stream under a key read from the system, which is replaced
// by a fresh one after every kRekeyBytes bytes. One system call per mebibyte instead of one
// per tunnel message, and still unpredictable to anyone who sees the output. Never for keys,
// nonces, identities or tags. The router process never runs on in a forked child (the
// only child it makes executes another program at once), so the state is never shared.
class FillerRandom {
 public:
  static constexpr std::size_t kRekeyBytes = std::size_t{1} << 20;

  FillerRandom() = default;
  // Starts from the given key instead of a system one; later keys still come from the system.
  explicit FillerRandom(const std::array<std::uint8_t, 32>& key) : key_(key), keyed_(true) {}

  // Fills out; fails only when a new key cannot be read (RouterError::Net).
  Result<void> fill(std::span<std::uint8_t> out);
  Result<Bytes> bytes(std::size_t n);

  // n filler bytes (at most kNonZeroBytes; more are cut to it), each 0 replaced by 0x01
  // (tunnel cell padding), in a buffer of the generator's own: valid until its next call.
  static constexpr std::size_t kNonZeroBytes = 1024;
  Result<ByteView> non_zero_bytes(std::size_t n = kNonZeroBytes);

  // How many keys were taken from the system so far.
  std::size_t rekeys() const { return rekeys_; }

 private:
  std::array<std::uint8_t, 32> key_{};
  bool keyed_ = false;
  std::uint32_t block_ = 0;  // the next key-stream block under key_
  std::size_t rekeys_ = 0;
  std::array<std::uint8_t, kNonZeroBytes> non_zero_{};
};

// System random bytes read ahead: one system call per kSize bytes instead of one per small
// value. Each byte is handed out once and wiped as it goes, so bytes that were used do not
// linger in the pool. For per-message values of the hot path (tunnel IVs); the bytes are
// the system's own, unchanged. The router never runs on in a forked child (see
// FillerRandom), so no two processes hand out the same bytes.
class SystemRandomPool {
 public:
  static constexpr std::size_t kSize = 4096;

  // Fills out; fails (RouterError::Net) only when a refill cannot be read.
  Result<void> take(std::span<std::uint8_t> out);

  // How many times the pool was filled from the system so far.
  std::size_t refills() const { return refills_; }

 private:
  std::array<std::uint8_t, kSize> pool_{};
  std::size_t next_ = kSize;  // the next unused byte; kSize when empty
  std::size_t refills_ = 0;
};

}  // namespace router
