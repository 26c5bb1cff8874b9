#include "crypto/chacha20.h"

#include <bit>
#include <cstring>

#include "crypto/chacha20_x86.h"
#include "crypto/endian.h"

namespace crypto {

namespace {

// "expand 32-byte k" as four little-endian words.
constexpr std::uint32_t sigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

ChaChaState initial_state(const std::uint8_t* key, std::uint32_t counter, const std::uint8_t* nonce) {
  ChaChaState s;
  for (int i = 0; i < 4; ++i) s[i] = sigma[i];
  for (int i = 0; i < 8; ++i) s[4 + i] = read_u32_le(key + 4 * i);
  s[12] = counter;
  for (int i = 0; i < 3; ++i) s[13 + i] = read_u32_le(nonce + 4 * i);
  return s;
}

void block_words(const ChaChaState& input, ChaChaState& x) {
  x = input;
  for (int i = 0; i < 10; ++i) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) x[i] += input[i];
}

// Four blocks side by side: lane j of every vector belongs to block counter + j.
// Plain GCC vector types, so the compiler maps them to whatever SIMD unit the target
// has (SSE2 on every x86-64).
using V4 = std::uint32_t __attribute__((vector_size(16)));

inline V4 rotl(V4 v, int n) { return (v << n) | (v >> (32 - n)); }

inline void qr4(V4& a, V4& b, V4& c, V4& d) {
  a += b;
  d ^= a;
  d = rotl(d, 16);
  c += d;
  b ^= c;
  b = rotl(b, 12);
  a += b;
  d ^= a;
  d = rotl(d, 8);
  c += d;
  b ^= c;
  b = rotl(b, 7);
}

void xor_four_blocks(const ChaChaState& input, const std::uint8_t* in, std::uint8_t* out) {
  V4 x[16];
  V4 start[16];
  for (int i = 0; i < 16; ++i) start[i] = V4{input[i], input[i], input[i], input[i]};
  start[12] += V4{0, 1, 2, 3};
  for (int i = 0; i < 16; ++i) x[i] = start[i];
  for (int r = 0; r < 10; ++r) {
    qr4(x[0], x[4], x[8], x[12]);
    qr4(x[1], x[5], x[9], x[13]);
    qr4(x[2], x[6], x[10], x[14]);
    qr4(x[3], x[7], x[11], x[15]);
    qr4(x[0], x[5], x[10], x[15]);
    qr4(x[1], x[6], x[11], x[12]);
    qr4(x[2], x[7], x[8], x[13]);
    qr4(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) x[i] += start[i];
  for (int j = 0; j < 4; ++j) {
    for (int i = 0; i < 16; ++i) {
      const std::size_t off = static_cast<std::size_t>(64 * j + 4 * i);
      write_u32_le(out + off, read_u32_le(in + off) ^ x[i][j]);
    }
  }
}

}  // namespace

void quarter_round(ChaChaState& s, int a, int b, int c, int d) {
  using std::rotl;
  s[a] += s[b];
  s[d] ^= s[a];
  s[d] = rotl(s[d], 16);
  s[c] += s[d];
  s[b] ^= s[c];
  s[b] = rotl(s[b], 12);
  s[a] += s[b];
  s[d] ^= s[a];
  s[d] = rotl(s[d], 8);
  s[c] += s[d];
  s[b] ^= s[c];
  s[b] = rotl(s[b], 7);
}

namespace detail {

Result<void> check_chacha20_params(ByteView key, ByteView nonce) {
  if (key.size() != 32) return fail(CryptoError::InvalidKey, msg("ChaCha20 requires a 32-byte key, got ", key.size()));
  if (nonce.size() != 12) {
    return fail(CryptoError::InvalidNonce, msg("ChaCha20 requires a 12-byte nonce, got ", nonce.size()));
  }
  return {};
}

void chacha20_block_unchecked(const std::uint8_t* key, std::uint32_t counter, const std::uint8_t* nonce,
                              std::uint8_t out[64]) {
  ChaChaState x;
  block_words(initial_state(key, counter, nonce), x);
  for (int i = 0; i < 16; ++i) write_u32_le(out + 4 * i, x[i]);
}

void chacha20_xor_unchecked(const std::uint8_t* key, const std::uint8_t* nonce, std::uint32_t counter,
                            const std::uint8_t* in, std::uint8_t* out, std::size_t len, Engine engine) {
  chacha20_xor_unchecked(key, nonce, counter, in, out, len, vector_isa_for(engine));
}

void chacha20_xor_unchecked(const std::uint8_t* key, const std::uint8_t* nonce, std::uint32_t counter,
                            const std::uint8_t* in, std::uint8_t* out, std::size_t len, VectorIsa isa) {
  if (!vector_isa_supported(isa)) isa = best_vector_isa();
  ChaChaState input = initial_state(key, counter, nonce);
  // The widest code takes what it can and leaves the rest, counter advanced, to
  // the next narrower one.
  const auto advance = [&](std::size_t done) {
    input[12] += static_cast<std::uint32_t>(done / 64);
    in += done;
    out += done;
    len -= done;
  };
  if (isa >= VectorIsa::Avx512 && len > 512) advance(chacha20_xor_avx512(input.data(), in, out, len));
  if (isa >= VectorIsa::Avx2 && len >= 512) advance(chacha20_xor_avx2(input.data(), in, out, len));
  if (isa >= VectorIsa::Avx512) {
    if (len > 0) chacha20_xor4_avx512vl(input.data(), in, out, len);
    return;
  }
  if (isa >= VectorIsa::Avx2) {
    if (len > 0) chacha20_xor4_avx2(input.data(), in, out, len);
    return;
  }
  if (isa >= VectorIsa::Ssse3) {
    if (len > 0) chacha20_xor_ssse3(input.data(), in, out, len);
    return;
  }
  while (len >= 256) {
    xor_four_blocks(input, in, out);
    input[12] += 4;
    in += 256;
    out += 256;
    len -= 256;
  }
  while (len > 0) {
    ChaChaState x;
    block_words(input, x);
    std::uint8_t ks[64];
    for (int i = 0; i < 16; ++i) write_u32_le(ks + 4 * i, x[i]);
    const std::size_t n = len < 64 ? len : 64;
    for (std::size_t i = 0; i < n; ++i) out[i] = in[i] ^ ks[i];
    input[12] += 1;
    in += n;
    out += n;
    len -= n;
  }
}

std::size_t chacha20_xor_authenticating(const std::uint8_t* key, const std::uint8_t* nonce, std::uint32_t counter,
                                        const std::uint8_t* in, std::uint8_t* out, std::size_t len, VectorIsa isa,
                                        Poly1305Scalar& mac) {
  if (!vector_isa_supported(isa)) isa = best_vector_isa();
  const ChaChaState input = initial_state(key, counter, nonce);
  std::size_t done = 0;
  std::size_t group = 0;
  if (isa == VectorIsa::Avx2) {
    done = chacha20_xor_authenticating_avx2(input.data(), in, out, len, mac);
    group = 512;
  } else if (isa == VectorIsa::Ssse3) {
    done = chacha20_xor_authenticating_ssse3(input.data(), in, out, len, mac);
    group = 256;
  }
  if (done < len) {
    chacha20_xor_unchecked(key, nonce, static_cast<std::uint32_t>(counter + done / 64), in + done, out + done,
                           len - done, isa);
  }
  return done == 0 ? 0 : done - group;
}

}  // namespace detail

Result<std::array<std::uint8_t, 64>> chacha20_block(ByteView key, std::uint32_t counter, ByteView nonce) {
  if (auto ok = detail::check_chacha20_params(key, nonce); !ok) return std::unexpected(ok.error());
  std::array<std::uint8_t, 64> out;
  detail::chacha20_block_unchecked(key.data(), counter, nonce.data(), out.data());
  return out;
}

Result<Bytes> chacha20_xor(ByteView key, ByteView nonce, ByteView data, Engine engine) {
  return chacha20_xor(key, nonce, data, vector_isa_for(engine));
}

Result<Bytes> chacha20_xor(ByteView key, ByteView nonce, ByteView data, VectorIsa isa) {
  if (auto ok = detail::check_chacha20_params(key, nonce); !ok) return std::unexpected(ok.error());
  Bytes out(data.size());
  detail::chacha20_xor_unchecked(key.data(), nonce.data(), 1, data.data(), out.data(), data.size(), isa);
  return out;
}

}  // namespace crypto
