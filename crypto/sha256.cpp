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

namespace {

// Below this many messages the vector lanes lose to one message at a time.
constexpr std::size_t kMinLanesUsed = 8;
constexpr std::size_t kLanes = 16;

// A message's last one or two blocks: its bytes past the last whole block, the 0x80 byte,
// zeros and the bit length.
struct Tail {
  std::array<std::uint8_t, 128> bytes{};
  std::size_t blocks = 0;
};

Tail tail_of(ByteView m) {
  Tail t;
  const std::size_t whole = m.size() / 64 * 64;
  const std::size_t rest = m.size() - whole;
  if (rest > 0) std::memcpy(t.bytes.data(), m.data() + whole, rest);
  t.bytes[rest] = 0x80;
  t.blocks = rest + 9 <= 64 ? 1 : 2;
  write_u64_be(t.bytes.data() + 64 * t.blocks - 8, static_cast<std::uint64_t>(m.size()) * 8);
  return t;
}

Sha256Digest digest_of(const std::array<std::uint32_t, 8>& state) {
  Sha256Digest out;
  for (std::size_t i = 0; i < 8; ++i) write_u32_be(out.data() + 4 * i, state[i]);
  return out;
}

// Up to sixteen messages through the vector lanes: the whole blocks all lanes have run
// together, then each lane's remaining whole blocks and tail are copied behind one another
// and run together for as many blocks as all have; what is left of a longer lane runs
// alone on the SHA instructions or the portable code.
void sixteen_lanes(std::span<const ByteView> messages, std::span<Sha256Digest> digests) {
  const std::size_t n = messages.size();
  std::array<std::array<std::uint32_t, 8>, kLanes> states;
  std::array<std::uint32_t*, kLanes> state_ptrs;
  std::array<const std::uint8_t*, kLanes> data;
  std::size_t common = SIZE_MAX;
  for (std::size_t l = 0; l < kLanes; ++l) {
    states[l] = initial;
    state_ptrs[l] = states[l].data();
    // Unused lanes repeat the first message into states nobody reads.
    const ByteView m = messages[l < n ? l : 0];
    data[l] = m.data();
    common = std::min(common, m.size() / 64);
  }
  if (common > 0) detail::sha256_blocks_x16(state_ptrs.data(), data.data(), common);

  // The rest of each lane: at most a few whole blocks in the cases this is meant for;
  // anything longer than the buffer runs alone.
  constexpr std::size_t kRestBlocks = 8;
  std::array<std::array<std::uint8_t, 64 * kRestBlocks>, kLanes> rest;
  std::array<std::size_t, kLanes> rest_blocks{};
  std::size_t rest_common = SIZE_MAX;
  for (std::size_t l = 0; l < kLanes; ++l) {
    const ByteView m = messages[l < n ? l : 0];
    const std::size_t whole = m.size() / 64 - common;
    const Tail t = tail_of(m);
    if (whole + t.blocks > kRestBlocks) {
      Sha256 alone;
      alone.update(m);
      if (l < n) digests[l] = alone.finalize();
      rest_blocks[l] = 0;
      continue;
    }
    if (whole > 0) std::memcpy(rest[l].data(), m.data() + 64 * common, 64 * whole);
    std::memcpy(rest[l].data() + 64 * whole, t.bytes.data(), 64 * t.blocks);
    rest_blocks[l] = whole + t.blocks;
    rest_common = std::min(rest_common, rest_blocks[l]);
    data[l] = rest[l].data();
  }
  if (rest_common != SIZE_MAX) {
    // A lane finished alone above runs on a live lane's bytes into a state nobody reads.
    std::size_t live = 0;
    while (rest_blocks[live] == 0) ++live;
    for (std::size_t l = 0; l < kLanes; ++l) {
      if (rest_blocks[l] == 0) data[l] = rest[live].data();
    }
    detail::sha256_blocks_x16(state_ptrs.data(), data.data(), rest_common);
  }
  for (std::size_t l = 0; l < n; ++l) {
    if (rest_blocks[l] == 0) continue;
    if (rest_blocks[l] > rest_common) {
      const std::uint8_t* p = rest[l].data() + 64 * rest_common;
      if (cpu_features().sha) {
        detail::sha256_blocks_x86(states[l].data(), p, rest_blocks[l] - rest_common);
      } else {
        blocks_portable(states[l].data(), p, rest_blocks[l] - rest_common);
      }
    }
    digests[l] = digest_of(states[l]);
  }
}

}  // namespace

void sha256_many(std::span<const ByteView> messages, std::span<Sha256Digest> digests, VectorIsa isa) {
  const std::size_t count = std::min(messages.size(), digests.size());
  if (!vector_isa_supported(isa)) isa = best_vector_isa();
  const bool lanes = isa == VectorIsa::Avx512 && cpu_features().avx512;
  const Engine one_at_a_time = isa == VectorIsa::Portable ? Engine::Portable : Engine::Best;
  std::size_t at = 0;
  if (lanes) {
    for (; count - at >= kMinLanesUsed; at += std::min(kLanes, count - at)) {
      const std::size_t n = std::min(kLanes, count - at);
      sixteen_lanes(messages.subspan(at, n), digests.subspan(at, n));
    }
  }
  for (; at < count; ++at) {
    Sha256 h(one_at_a_time);
    h.update(messages[at]);
    digests[at] = h.finalize();
  }
}

}  // namespace crypto
