#include "crypto/aes_x86.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <cstdlib>

namespace crypto::detail {

#if defined(__x86_64__) || defined(__i386__)

namespace {

#define ONDREL_AES_TARGET __attribute__((target("aes,sse4.1,ssse3")))

// Folds the previous round key into the next, as the key expansion's
// w[i] = w[i-8] ^ t chain does across four words.
ONDREL_AES_TARGET inline __m128i fold(__m128i k, __m128i t) {
  k = _mm_xor_si128(k, _mm_slli_si128(k, 4));
  k = _mm_xor_si128(k, _mm_slli_si128(k, 4));
  k = _mm_xor_si128(k, _mm_slli_si128(k, 4));
  return _mm_xor_si128(k, t);
}

// The 15 round keys of AES-256; keygenassist needs its round constant as an
// immediate, hence the macro.
ONDREL_AES_TARGET void expand(const std::uint8_t key[32], __m128i rk[15]) {
  rk[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
  rk[1] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 16));
#define ONDREL_AES_PAIR(i, rcon)                                                                              \
  rk[2 * (i)] = fold(rk[2 * (i)-2], _mm_shuffle_epi32(_mm_aeskeygenassist_si128(rk[2 * (i)-1], rcon), 0xff)); \
  if ((i) < 7)                                                                                                \
    rk[2 * (i) + 1] = fold(rk[2 * (i)-1], _mm_shuffle_epi32(_mm_aeskeygenassist_si128(rk[2 * (i)], 0), 0xaa));
  ONDREL_AES_PAIR(1, 0x01)
  ONDREL_AES_PAIR(2, 0x02)
  ONDREL_AES_PAIR(3, 0x04)
  ONDREL_AES_PAIR(4, 0x08)
  ONDREL_AES_PAIR(5, 0x10)
  ONDREL_AES_PAIR(6, 0x20)
  ONDREL_AES_PAIR(7, 0x40)
#undef ONDREL_AES_PAIR
}

ONDREL_AES_TARGET void load_keys(const std::uint8_t bytes[240], __m128i rk[15]) {
  for (int r = 0; r < 15; ++r) rk[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * r));
}

ONDREL_AES_TARGET void store_keys(const __m128i rk[15], std::uint8_t bytes[240]) {
  for (int r = 0; r < 15; ++r) _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + 16 * r), rk[r]);
}

// The decryption instructions take the round keys in reverse order, passed through
// InvMixColumns (the equivalent inverse cipher); the result is the same.
ONDREL_AES_TARGET void decryption_keys(const __m128i rk[15], __m128i dk[15]) {
  dk[0] = rk[14];
  for (int r = 1; r < 14; ++r) dk[r] = _mm_aesimc_si128(rk[14 - r]);
  dk[14] = rk[0];
}

ONDREL_AES_TARGET void cbc_encrypt(const __m128i rk[15], const std::uint8_t iv[16], const std::uint8_t* in,
                                   std::uint8_t* out, std::size_t blocks) {
  __m128i chain = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv));
  for (std::size_t b = 0; b < blocks; ++b) {
    // The round-0 key goes onto the input before the chaining value arrives, leaving
    // one XOR between one block's last round and the next block's first.
    __m128i x = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * b)), rk[0]);
    x = _mm_xor_si128(x, chain);
    for (int r = 1; r < 14; ++r) x = _mm_aesenc_si128(x, rk[r]);
    chain = _mm_aesenclast_si128(x, rk[14]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * b), chain);
  }
}

ONDREL_AES_TARGET void cbc_decrypt(const __m128i dk[15], const std::uint8_t iv[16], const std::uint8_t* in,
                                   std::uint8_t* out, std::size_t blocks) {
  __m128i chain = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv));
  std::size_t b = 0;
  // Blocks are independent under decryption: eight at a time keep the AES unit busy.
  // Every input block of a group is loaded before any output is stored, so in and out
  // may be the same bytes.
  constexpr int kWays = 8;
  for (; b + kWays <= blocks; b += kWays) {
    __m128i c[kWays], x[kWays];
    for (int j = 0; j < kWays; ++j) {
      c[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * (b + static_cast<std::size_t>(j))));
      x[j] = _mm_xor_si128(c[j], dk[0]);
    }
    for (int r = 1; r < 14; ++r) {
      for (int j = 0; j < kWays; ++j) x[j] = _mm_aesdec_si128(x[j], dk[r]);
    }
    for (int j = 0; j < kWays; ++j) x[j] = _mm_aesdeclast_si128(x[j], dk[14]);
    x[0] = _mm_xor_si128(x[0], chain);
    for (int j = 1; j < kWays; ++j) x[j] = _mm_xor_si128(x[j], c[j - 1]);
    chain = c[kWays - 1];
    for (int j = 0; j < kWays; ++j) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * (b + static_cast<std::size_t>(j))), x[j]);
    }
  }
  for (; b < blocks; ++b) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * b));
    __m128i x = _mm_xor_si128(c, dk[0]);
    for (int r = 1; r < 14; ++r) x = _mm_aesdec_si128(x, dk[r]);
    x = _mm_xor_si128(_mm_aesdeclast_si128(x, dk[14]), chain);
    chain = c;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * b), x);
  }
}

// N chains side by side, each under its own round keys: the rounds of one chain wait on
// each other, those of different chains keep the AES unit busy.
template <int N>
ONDREL_AES_TARGET inline void cbc_encrypt_lanes(const std::uint8_t* const rk[], std::uint8_t* const iv[],
                                                std::uint8_t* const data[], std::size_t blocks) {
  __m128i chain[N];
  for (int l = 0; l < N; ++l) chain[l] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv[l]));
  for (std::size_t b = 0; b < blocks; ++b) {
    __m128i x[N];
    for (int l = 0; l < N; ++l) {
      const __m128i k0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rk[l]));
      x[l] = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data[l] + 16 * b)), k0);
      x[l] = _mm_xor_si128(x[l], chain[l]);
    }
    for (int r = 1; r < 14; ++r) {
      for (int l = 0; l < N; ++l) {
        x[l] = _mm_aesenc_si128(x[l], _mm_loadu_si128(reinterpret_cast<const __m128i*>(rk[l] + 16 * r)));
      }
    }
    for (int l = 0; l < N; ++l) {
      chain[l] = _mm_aesenclast_si128(x[l], _mm_loadu_si128(reinterpret_cast<const __m128i*>(rk[l] + 16 * 14)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(data[l] + 16 * b), chain[l]);
    }
  }
  for (int l = 0; l < N; ++l) _mm_storeu_si128(reinterpret_cast<__m128i*>(iv[l]), chain[l]);
}

// N single blocks in place, each under its own decryption round keys.
template <int N>
ONDREL_AES_TARGET inline void decrypt_lanes(const std::uint8_t* const dk[], std::uint8_t* const block[]) {
  __m128i x[N];
  for (int l = 0; l < N; ++l) {
    x[l] = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block[l])),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(dk[l])));
  }
  for (int r = 1; r < 14; ++r) {
    for (int l = 0; l < N; ++l) {
      x[l] = _mm_aesdec_si128(x[l], _mm_loadu_si128(reinterpret_cast<const __m128i*>(dk[l] + 16 * r)));
    }
  }
  for (int l = 0; l < N; ++l) {
    x[l] = _mm_aesdeclast_si128(x[l], _mm_loadu_si128(reinterpret_cast<const __m128i*>(dk[l] + 16 * 14)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block[l]), x[l]);
  }
}

}  // namespace

ONDREL_AES_TARGET void aes256_decrypt_lanes_x86(const std::uint8_t* const dec[], std::uint8_t* const block[],
                                                std::size_t lanes) {
  while (lanes > 0) {
    const std::size_t n = lanes < 8 ? lanes : 8;
    switch (n) {
      case 1: decrypt_lanes<1>(dec, block); break;
      case 2: decrypt_lanes<2>(dec, block); break;
      case 3: decrypt_lanes<3>(dec, block); break;
      case 4: decrypt_lanes<4>(dec, block); break;
      case 5: decrypt_lanes<5>(dec, block); break;
      case 6: decrypt_lanes<6>(dec, block); break;
      case 7: decrypt_lanes<7>(dec, block); break;
      default: decrypt_lanes<8>(dec, block); break;
    }
    dec += n;
    block += n;
    lanes -= n;
  }
}

ONDREL_AES_TARGET void aes256_cbc_encrypt_lanes_x86(const std::uint8_t* const enc[], std::uint8_t* const iv[],
                                                    std::uint8_t* const data[], std::size_t lanes, std::size_t blocks) {
  while (lanes > 0) {
    const std::size_t n = lanes < 8 ? lanes : 8;
    switch (n) {
      case 1: cbc_encrypt_lanes<1>(enc, iv, data, blocks); break;
      case 2: cbc_encrypt_lanes<2>(enc, iv, data, blocks); break;
      case 3: cbc_encrypt_lanes<3>(enc, iv, data, blocks); break;
      case 4: cbc_encrypt_lanes<4>(enc, iv, data, blocks); break;
      case 5: cbc_encrypt_lanes<5>(enc, iv, data, blocks); break;
      case 6: cbc_encrypt_lanes<6>(enc, iv, data, blocks); break;
      case 7: cbc_encrypt_lanes<7>(enc, iv, data, blocks); break;
      default: cbc_encrypt_lanes<8>(enc, iv, data, blocks); break;
    }
    enc += n;
    iv += n;
    data += n;
    lanes -= n;
  }
}

ONDREL_AES_TARGET void aes256_cbc_encrypt_x86(const std::uint8_t key[32], const std::uint8_t iv[16],
                                              const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) {
  __m128i rk[15];
  expand(key, rk);
  cbc_encrypt(rk, iv, in, out, blocks);
}

ONDREL_AES_TARGET void aes256_cbc_decrypt_x86(const std::uint8_t key[32], const std::uint8_t iv[16],
                                              const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) {
  __m128i rk[15], dk[15];
  expand(key, rk);
  decryption_keys(rk, dk);
  cbc_decrypt(dk, iv, in, out, blocks);
}

ONDREL_AES_TARGET void aes256_expand_x86(const std::uint8_t key[32], std::uint8_t enc[240]) {
  __m128i rk[15];
  expand(key, rk);
  store_keys(rk, enc);
}

ONDREL_AES_TARGET void aes256_decryption_keys_x86(const std::uint8_t enc[240], std::uint8_t dec[240]) {
  __m128i rk[15], dk[15];
  load_keys(enc, rk);
  decryption_keys(rk, dk);
  store_keys(dk, dec);
}

ONDREL_AES_TARGET void aes256_cbc_encrypt_rk_x86(const std::uint8_t enc[240], const std::uint8_t iv[16],
                                                 const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) {
  __m128i rk[15];
  load_keys(enc, rk);
  cbc_encrypt(rk, iv, in, out, blocks);
}

ONDREL_AES_TARGET void aes256_cbc_decrypt_rk_x86(const std::uint8_t dec[240], const std::uint8_t iv[16],
                                                 const std::uint8_t* in, std::uint8_t* out, std::size_t blocks) {
  __m128i dk[15];
  load_keys(dec, dk);
  cbc_decrypt(dk, iv, in, out, blocks);
}

#else

void aes256_cbc_encrypt_x86(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::size_t) {
  std::abort();
}
void aes256_cbc_decrypt_x86(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::size_t) {
  std::abort();
}
void aes256_expand_x86(const std::uint8_t*, std::uint8_t*) { std::abort(); }
void aes256_decryption_keys_x86(const std::uint8_t*, std::uint8_t*) { std::abort(); }
void aes256_cbc_encrypt_rk_x86(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::uint8_t*,
                               std::size_t) {
  std::abort();
}
void aes256_cbc_decrypt_rk_x86(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::uint8_t*,
                               std::size_t) {
  std::abort();
}
void aes256_cbc_encrypt_lanes_x86(const std::uint8_t* const*, std::uint8_t* const*, std::uint8_t* const*, std::size_t,
                                  std::size_t) {
  std::abort();
}
void aes256_decrypt_lanes_x86(const std::uint8_t* const*, std::uint8_t* const*, std::size_t) { std::abort(); }

#endif

}  // namespace crypto::detail
