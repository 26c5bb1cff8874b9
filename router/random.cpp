#include "router/random.h"

#include <algorithm>
#include <cstring>

#include "crypto/chacha20.h"
#include "ntcp2_net/random.h"

namespace router {

Result<Bytes> random_bytes(std::size_t n) {
  auto bytes = ntcp2_net::random_bytes(n);
  if (!bytes) return wrap(RouterError::Net, std::move(bytes.error()));
  return bytes;
}

Result<std::array<std::uint8_t, 32>> next_rand_32() {
  auto bytes = ntcp2_net::random_bytes(32);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  std::array<std::uint8_t, 32> out{};
  std::copy(bytes->begin(), bytes->end(), out.begin());
  return out;
}

Result<Bytes> non_zero_random_bytes() {
  auto bytes = ntcp2_net::random_bytes(1024);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  std::replace(bytes->begin(), bytes->end(), std::uint8_t{0}, std::uint8_t{1});
  return bytes;
}

Result<void> FillerRandom::fill(std::span<std::uint8_t> out) {
  static constexpr std::array<std::uint8_t, 12> nonce{};
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t used = static_cast<std::size_t>(block_) * 64;
    if (!keyed_ || used >= kRekeyBytes) {
      auto key = random_bytes(key_.size());
      if (!key) return std::unexpected(std::move(key.error()));
      std::ranges::copy(*key, key_.begin());
      keyed_ = true;
      block_ = 0;
      ++rekeys_;
      continue;
    }
    const std::size_t n = std::min(out.size() - done, kRekeyBytes - used);
    std::uint8_t* at = out.data() + done;
    std::memset(at, 0, n);
    crypto::detail::chacha20_xor_unchecked(key_.data(), nonce.data(), block_, at, at, n);
    // A partly used block is not used again.
    block_ += static_cast<std::uint32_t>((n + 63) / 64);
    done += n;
  }
  return {};
}

Result<Bytes> FillerRandom::bytes(std::size_t n) {
  Bytes out(n);
  if (auto filled = fill(out); !filled) return std::unexpected(std::move(filled.error()));
  return out;
}

Result<ByteView> FillerRandom::non_zero_bytes(std::size_t n) {
  const std::span<std::uint8_t> out = std::span(non_zero_).first(std::min(n, non_zero_.size()));
  if (auto filled = fill(out); !filled) return std::unexpected(std::move(filled.error()));
  for (std::uint8_t& b : out) b = static_cast<std::uint8_t>(b | (b == 0));  // 0 -> 1, without branches
  return ByteView(out);
}

Result<void> SystemRandomPool::take(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    if (next_ == kSize) {
      // Straight into the pool, so the bytes are never left behind in a buffer of their own.
      if (auto filled = ntcp2_net::fill_random(pool_); !filled)
        return wrap(RouterError::Net, std::move(filled.error()));
      next_ = 0;
      ++refills_;
    }
    const std::size_t n = std::min(out.size() - done, kSize - next_);
    std::memcpy(out.data() + done, pool_.data() + next_, n);
    std::memset(pool_.data() + next_, 0, n);
    next_ += n;
    done += n;
  }
  return {};
}

}  // namespace router
