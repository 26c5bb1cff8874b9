#include "crypto/sha1.h"

#include <bit>
#include <cstddef>
#include <cstring>

#include "crypto/endian.h"
#include "crypto/sha_x86.h"

namespace crypto {

namespace {

// The hasher lives only inside sha1(): it absorbs the whole input at once.
struct Sha1 {
  std::array<std::uint32_t, 5> state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
  bool hw = false;

  static void compress_portable(std::uint32_t s[5], const std::uint8_t* p, std::size_t blocks) {
    using std::rotl;
    for (; blocks > 0; --blocks, p += 64) {
      std::uint32_t w[80];
      for (int t = 0; t < 16; ++t) w[t] = read_u32_be(p + 4 * t);
      for (int t = 16; t < 80; ++t) w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
      std::uint32_t a = s[0], b = s[1], c = s[2], d = s[3], e = s[4];
      for (int t = 0; t < 80; ++t) {
        std::uint32_t f, k;
        if (t < 20) {
          f = (b & c) | (~b & d);
          k = 0x5a827999;
        } else if (t < 40) {
          f = b ^ c ^ d;
          k = 0x6ed9eba1;
        } else if (t < 60) {
          f = (b & c) | (b & d) | (c & d);
          k = 0x8f1bbcdc;
        } else {
          f = b ^ c ^ d;
          k = 0xca62c1d6;
        }
        const std::uint32_t temp = rotl(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = temp;
      }
      s[0] += a;
      s[1] += b;
      s[2] += c;
      s[3] += d;
      s[4] += e;
    }
  }

  void compress(const std::uint8_t* p, std::size_t blocks) {
    if (hw) {
      detail::sha1_blocks_x86(state.data(), p, blocks);
    } else {
      compress_portable(state.data(), p, blocks);
    }
  }
};

}  // namespace

Sha1Digest sha1(ByteView data, Engine engine) {
  Sha1 h;
  h.hw = engine == Engine::Best && cpu_features().sha;
  const std::size_t whole = data.size() / 64;
  h.compress(data.data(), whole);

  // The tail, the 0x80 byte and the 64-bit big-endian bit count: one or two blocks.
  std::uint8_t buf[128] = {};
  const std::size_t tail = data.size() - whole * 64;
  if (tail > 0) std::memcpy(buf, data.data() + whole * 64, tail);
  buf[tail] = 0x80;
  const std::size_t blocks = tail + 1 > 56 ? 2 : 1;
  write_u64_be(buf + blocks * 64 - 8, static_cast<std::uint64_t>(data.size()) * 8);
  h.compress(buf, blocks);

  Sha1Digest out;
  for (std::size_t i = 0; i < 5; ++i) write_u32_be(out.data() + 4 * i, h.state[i]);
  return out;
}

}  // namespace crypto
