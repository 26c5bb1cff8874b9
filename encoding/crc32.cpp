#include "encoding/crc32.h"

#include <array>
#include <cstdlib>
#include <string_view>

#include "encoding/crc32_x86.h"

namespace encoding {
namespace {

constexpr std::uint32_t poly = 0xEDB88320u;

// Slicing tables: table[0] is the classic byte-at-a-time table (the bitwise CRC of each
// byte value); table[k][b] is the CRC register after byte b followed by k zero bytes, so
// several input bytes fold in with independent look-ups. Built at compile time.
constexpr std::size_t slices = 16;
using Tables = std::array<std::array<std::uint32_t, 256>, slices>;

constexpr Tables make_tables() {
  Tables t{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t c = b;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ poly : c >> 1;
    t[0][b] = c;
  }
  for (std::size_t k = 1; k < slices; ++k) {
    for (std::size_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  }
  return t;
}

constexpr Tables tables = make_tables();

std::uint32_t load_le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The CRC register c advanced over n bytes at p (no pre- or post-conditioning).
std::uint32_t update(std::uint32_t c, const std::uint8_t* p, std::size_t n) {
  const auto& t = tables;
  while (n >= 16) {
    std::uint32_t a = load_le32(p) ^ c, b = load_le32(p + 4), d = load_le32(p + 8), e = load_le32(p + 12);
    c = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^ t[11][b & 0xFF] ^
        t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^ t[7][d & 0xFF] ^ t[6][(d >> 8) & 0xFF] ^
        t[5][(d >> 16) & 0xFF] ^ t[4][d >> 24] ^ t[3][e & 0xFF] ^ t[2][(e >> 8) & 0xFF] ^ t[1][(e >> 16) & 0xFF] ^
        t[0][e >> 24];
    p += 16;
    n -= 16;
  }
  while (n-- > 0) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
  return c;
}

// Polynomial product a * b modulo the CRC polynomial, bit-reflected like the CRC.
constexpr std::uint32_t multmodp(std::uint32_t a, std::uint32_t b) {
  std::uint32_t m = 1u << 31, p = 0;
  for (;;) {
    if (a & m) {
      p ^= b;
      if ((a & (m - 1)) == 0) break;
    }
    m >>= 1;
    b = (b & 1) ? (b >> 1) ^ poly : b >> 1;
  }
  return p;
}

// x^(2^k) modulo the polynomial, for k = 0..31.
constexpr std::array<std::uint32_t, 32> x2n = [] {
  std::array<std::uint32_t, 32> t{};
  std::uint32_t p = 1u << 30;  // x^1
  t[0] = p;
  for (std::size_t k = 1; k < 32; ++k) t[k] = p = multmodp(p, p);
  return t;
}();

// x^(8n) modulo the polynomial: the factor that moves a CRC past n zero bytes.
std::uint32_t x8n(std::size_t n) {
  std::uint32_t p = 1u << 31;  // x^0
  for (unsigned k = 3; n != 0; n >>= 1, ++k) {
    if (n & 1) p = multmodp(x2n[k & 31], p);
  }
  return p;
}

// Long inputs run as four independent CRCs over four equal parts, so the four chains of
// look-ups overlap in the processor; the parts are then joined as zlib's crc32_combine
// does: CRC(A || B) = CRC(A) * x^(8 |B|) + CRC(B).
constexpr std::size_t parallel_from = 16384;

// The table path: one CRC for short inputs, four joined ones for long.
std::uint32_t crc32_table(const std::uint8_t* p, std::size_t n) {
  if (n < parallel_from) return update(0xFFFFFFFFu, p, n) ^ 0xFFFFFFFFu;

  const std::size_t part = (n / 4) & ~std::size_t{15};
  std::uint32_t c[4] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  const auto& t = tables;
  for (std::size_t off = 0; off < part; off += 8) {
    for (std::size_t s = 0; s < 4; ++s) {
      const std::uint8_t* q = p + s * part + off;
      std::uint32_t a = load_le32(q) ^ c[s], b = load_le32(q + 4);
      c[s] = t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF] ^ t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24] ^ t[3][b & 0xFF] ^
             t[2][(b >> 8) & 0xFF] ^ t[1][(b >> 16) & 0xFF] ^ t[0][b >> 24];
    }
  }
  std::uint32_t crc = c[0] ^ 0xFFFFFFFFu;
  const std::uint32_t shift = x8n(part);
  for (std::size_t s = 1; s < 4; ++s) crc = multmodp(shift, crc) ^ (c[s] ^ 0xFFFFFFFFu);
  // The rest after the four parts continues the joined register.
  return update(crc ^ 0xFFFFFFFFu, p + 4 * part, n - 4 * part) ^ 0xFFFFFFFFu;
}

// The carry-less paths start from one full 16-byte block, the 512-bit one from a full
// 64-byte register; shorter inputs run on the tables. From those lengths on each is
// faster than the path below it (measured on an AMD EPYC with AVX-512).
constexpr std::size_t clmul_from = 16;
constexpr std::size_t avx512_from = 64;

#if defined(__x86_64__) || defined(__i386__)
// Whether the cap list (ONDREL_CPU_CAP, a comma list) names `feature`.
bool capped(const char* cap, std::string_view feature) {
  if (cap == nullptr) return false;
  std::string_view rest(cap);
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    if (rest.substr(0, comma) == feature) return true;
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
  }
  return false;
}
#endif

// The CRC on a path this CPU has.
std::uint32_t crc32_on(detail::Crc32Path path, const std::uint8_t* p, std::size_t n) {
#if defined(__x86_64__) || defined(__i386__)
  using detail::Crc32Path;
  if (path == Crc32Path::Avx512 && n >= avx512_from)
    return detail::crc32_update_vpclmul(0xFFFFFFFFu, p, n) ^ 0xFFFFFFFFu;
  if (path != Crc32Path::Table && n >= clmul_from) return detail::crc32_update_clmul(0xFFFFFFFFu, p, n) ^ 0xFFFFFFFFu;
#else
  (void)path;
#endif
  return crc32_table(p, n);
}

}  // namespace

namespace detail {

Crc32Path best_crc32_path() {
  static const Crc32Path best = [] {
#if defined(__x86_64__) || defined(__i386__)
    const char* cap = std::getenv("ONDREL_CPU_CAP");
    // The shuffles of the last partial block need SSSE3, which the cap's "ssse3" names.
    const bool clmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1") && !capped(cap, "ssse3");
    const bool avx512 = clmul && __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx512f") &&
                        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
                        !capped(cap, "avx512") && !capped(cap, "avx2");  // a capped level caps those above
    if (avx512) return Crc32Path::Avx512;
    if (clmul) return Crc32Path::Clmul;
#endif
    return Crc32Path::Table;
  }();
  return best;
}

bool crc32_path_supported(Crc32Path path) { return path <= best_crc32_path(); }

const char* to_string(Crc32Path path) {
  switch (path) {
    case Crc32Path::Table: return "table";
    case Crc32Path::Clmul: return "clmul";
    case Crc32Path::Avx512: return "avx512";
  }
  return "unknown";
}

std::uint32_t crc32(ByteView bytes, Crc32Path path) {
  return crc32_on(crc32_path_supported(path) ? path : best_crc32_path(), bytes.data(), bytes.size());
}

}  // namespace detail

std::uint32_t crc32(ByteView bytes) { return crc32_on(detail::best_crc32_path(), bytes.data(), bytes.size()); }

}  // namespace encoding
