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

void compress_blocks(Sha256Isa isa, std::uint32_t state[8], const std::uint8_t* p, std::size_t n) {
  switch (isa) {
    case Sha256Isa::Sha: return detail::sha256_blocks_x86(state, p, n);
    case Sha256Isa::Avx2: return detail::sha256_blocks_avx2(state, p, n);
    case Sha256Isa::Ssse3: return detail::sha256_blocks_ssse3(state, p, n);
    case Sha256Isa::Portable: break;
  }
  blocks_portable(state, p, n);
}

}  // namespace

Sha256Isa best_sha256_isa() {
  static const Sha256Isa best = [] {
    const CpuFeatures& f = cpu_features();
    if (f.sha) return Sha256Isa::Sha;
    if (f.avx2 && f.bmi2) return Sha256Isa::Avx2;
    if (f.ssse3) return Sha256Isa::Ssse3;
    return Sha256Isa::Portable;
  }();
  return best;
}

bool sha256_isa_supported(Sha256Isa isa) {
  const CpuFeatures& f = cpu_features();
  switch (isa) {
    case Sha256Isa::Sha: return f.sha;
    case Sha256Isa::Avx2: return f.avx2 && f.bmi2;
    case Sha256Isa::Ssse3: return f.ssse3;
    case Sha256Isa::Portable: return true;
  }
  return false;
}

const char* to_string(Sha256Isa isa) {
  switch (isa) {
    case Sha256Isa::Portable: return "portable";
    case Sha256Isa::Ssse3: return "ssse3";
    case Sha256Isa::Avx2: return "avx2";
    case Sha256Isa::Sha: return "sha";
  }
  return "unknown";
}

Sha256::Sha256(Engine engine) : Sha256(engine == Engine::Best ? best_sha256_isa() : Sha256Isa::Portable) {}

Sha256::Sha256(Sha256Isa isa) : state_(initial), isa_(sha256_isa_supported(isa) ? isa : best_sha256_isa()) {}

void Sha256::compress(const std::uint8_t* p, std::size_t n) { compress_blocks(isa_, state_.data(), p, n); }

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

// Up to sixteen messages through the vector lanes. Each lane's blocks are its message's
// whole blocks, then its tail; the lanes run together in stretches as long as the
// shortest contiguous run left among them, while at least kMinLanesUsed still have
// blocks. A lane that is done runs on into a state nobody reads; the last few lanes are
// finished one at a time.
void sixteen_lanes(std::span<const ByteView> messages, std::span<Sha256Digest> digests) {
  const std::size_t n = messages.size();
  std::array<std::array<std::uint32_t, 8>, kLanes> states;
  std::array<Tail, kLanes> tails;
  std::array<std::size_t, kLanes> whole{}, total{}, done{};
  for (std::size_t l = 0; l < n; ++l) {
    states[l] = initial;
    tails[l] = tail_of(messages[l]);
    whole[l] = messages[l].size() / 64;
    total[l] = whole[l] + tails[l].blocks;
  }
  // Where lane l's next blocks are, and how many follow there without a break.
  const auto next = [&](std::size_t l) -> std::pair<const std::uint8_t*, std::size_t> {
    if (done[l] < whole[l]) return {messages[l].data() + 64 * done[l], whole[l] - done[l]};
    return {tails[l].bytes.data() + 64 * (done[l] - whole[l]), total[l] - done[l]};
  };
  std::array<std::uint32_t, 8> idle_state{};
  std::array<std::uint32_t*, kLanes> state_ptrs;
  std::array<const std::uint8_t*, kLanes> data;
  for (;;) {
    std::size_t active = 0, stretch = SIZE_MAX;
    const std::uint8_t* any = nullptr;
    for (std::size_t l = 0; l < n; ++l) {
      if (done[l] == total[l]) continue;
      const auto [p, run] = next(l);
      ++active;
      stretch = std::min(stretch, run);
      any = p;
    }
    if (active < kMinLanesUsed) break;
    for (std::size_t l = 0; l < kLanes; ++l) {
      const bool live = l < n && done[l] < total[l];
      state_ptrs[l] = live ? states[l].data() : idle_state.data();
      data[l] = live ? next(l).first : any;
    }
    detail::sha256_blocks_x16(state_ptrs.data(), data.data(), stretch);
    for (std::size_t l = 0; l < n; ++l) {
      if (done[l] < total[l]) done[l] += stretch;
    }
  }
  for (std::size_t l = 0; l < n; ++l) {
    while (done[l] < total[l]) {
      const auto [p, run] = next(l);
      compress_blocks(best_sha256_isa(), states[l].data(), p, run);
      done[l] += run;
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
