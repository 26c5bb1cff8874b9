#include "crypto/sha256.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "crypto/block_buffer.h"
#include "crypto/endian.h"
#include "crypto/sha256_constants.h"
#include "crypto/sha_x86.h"

namespace crypto {

namespace {

constexpr const auto& k = detail::sha256_round_constants;

constexpr std::array<std::uint32_t, 8> initial = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

void blocks_portable(std::uint32_t state[8], const std::uint8_t* p, std::size_t blocks) {
  using std::rotr;
  for (; blocks > 0; --blocks, p += 64) {
    std::uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = read_u32_be(p + 4 * t);
    for (int t = 16; t < 64; ++t) {
      const std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
      const std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[t] + w[t];
      const std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

}  // namespace

Sha256::Sha256(Engine engine) : state_(initial), hw_(engine == Engine::Best && cpu_features().sha) {}

void Sha256::compress(const std::uint8_t* p, std::size_t n) {
  if (hw_) {
    detail::sha256_blocks_x86(state_.data(), p, n);
  } else {
    blocks_portable(state_.data(), p, n);
  }
}

void Sha256::update(ByteView data) {
  total_ += data.size();
  detail::absorb_blocks(buf_, pos_, data, [this](const std::uint8_t* p, std::size_t n) { compress(p, n); });
}

Sha256Digest Sha256::finalize() {
  detail::pad_to_length_field<block_size, 8>(buf_, pos_,
                                              [this](const std::uint8_t* p, std::size_t n) { compress(p, n); });
  write_u64_be(buf_.data() + block_size - 8, total_ * 8);
  compress(buf_.data(), 1);
  pos_ = 0;
  Sha256Digest out;
  for (std::size_t i = 0; i < 8; ++i) write_u32_be(out.data() + 4 * i, state_[i]);
  return out;
}

Sha256Digest sha256(ByteView data) {
  Sha256 h;
  h.update(data);
  return h.finalize();
}

}  // namespace crypto
