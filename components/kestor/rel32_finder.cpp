#include "components/kestor/rel32_finder.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>

#include "base/check.h"

namespace kestor {
namespace {

// Whether an instruction of a candidate form starts at p and fits before hi: call or jmp rel32
// (E8, E9; five bytes), jcc rel32 (0F 80..8F; six), and on x86-64 the RIP-relative mov to and
// from memory and lea (89, 8B, 8D with ModRM 00 reg 101) and call or jmp through a RIP-relative
// pointer (FF 15, FF 25), six bytes each. Prefixes are not decoded.
template <bool kX64>
bool IsCandidateAt(const std::uint8_t* data, offset_t p, offset_t hi) {
  const offset_t remaining = hi - p;
  const std::uint8_t op = data[p];
  if (remaining >= 5 && (op == 0xE8 || op == 0xE9)) return true;
  if (remaining < 6) return false;
  const std::uint8_t modrm = data[p + 1];
  if (op == 0x0F && (modrm & 0xF0) == 0x80) return true;
  if constexpr (kX64) {
    if ((op == 0x89 || op == 0x8B || op == 0x8D) && (modrm & 0xC7) == 0x05) return true;
    if (op == 0xFF && (modrm == 0x15 || modrm == 0x25)) return true;
  }
  return false;
}

// The first p in [lo, hi) where IsCandidateAt holds, or hi. Sixteen positions at a time while
// every one of them has room for a six-byte instruction; then one by one.
template <bool kX64>
offset_t FindCandidate(const std::uint8_t* data, offset_t lo, offset_t hi) {
  offset_t p = lo;
  const __m128i e8 = _mm_set1_epi8(static_cast<char>(0xE8));
  const __m128i e9 = _mm_set1_epi8(static_cast<char>(0xE9));
  const __m128i x0f = _mm_set1_epi8(0x0F);
  const __m128i high_nibble = _mm_set1_epi8(static_cast<char>(0xF0));
  const __m128i x80 = _mm_set1_epi8(static_cast<char>(0x80));
  for (; p < hi && hi - p >= 16 + 5; p += 16) {
    const __m128i op = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p + 1));
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(op, e8), _mm_cmpeq_epi8(op, e9));
    hit = _mm_or_si128(hit,
                       _mm_and_si128(_mm_cmpeq_epi8(op, x0f), _mm_cmpeq_epi8(_mm_and_si128(next, high_nibble), x80)));
    if constexpr (kX64) {
      const __m128i mov_or_lea = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(op, _mm_set1_epi8(static_cast<char>(0x89))),
                                                           _mm_cmpeq_epi8(op, _mm_set1_epi8(static_cast<char>(0x8B)))),
                                              _mm_cmpeq_epi8(op, _mm_set1_epi8(static_cast<char>(0x8D))));
      const __m128i rip =
          _mm_cmpeq_epi8(_mm_and_si128(next, _mm_set1_epi8(static_cast<char>(0xC7))), _mm_set1_epi8(0x05));
      const __m128i indirect = _mm_and_si128(
          _mm_cmpeq_epi8(op, _mm_set1_epi8(static_cast<char>(0xFF))),
          _mm_or_si128(_mm_cmpeq_epi8(next, _mm_set1_epi8(0x15)), _mm_cmpeq_epi8(next, _mm_set1_epi8(0x25))));
      hit = _mm_or_si128(hit, _mm_or_si128(_mm_and_si128(mov_or_lea, rip), indirect));
    }
    if (const int mask = _mm_movemask_epi8(hit); mask != 0)
      return p + static_cast<offset_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
  for (; p < hi; ++p) {
    if (IsCandidateAt<kX64>(data, p, hi)) return p;
  }
  return hi;
}

}  // namespace

Abs32GapFinder::Abs32GapFinder(ConstBufferView image, OffsetRange region, const std::deque<offset_t>& abs32_locations,
                               std::uint32_t abs32_width)
    : region_end_(region.hi),
      current_lo_(region.lo),
      abs32_current_(std::lower_bound(abs32_locations.begin(), abs32_locations.end(), region.lo)),
      abs32_end_(abs32_locations.end()),
      abs32_width_(abs32_width) {
  CHECK_LE(region.lo, region.hi);
  CHECK_LE(region.hi, image.size());
  // A body that starts before the region and reaches into it.
  if (abs32_current_ != abs32_locations.begin()) {
    current_lo_ = std::max<std::uint64_t>(current_lo_, std::uint64_t{*(abs32_current_ - 1)} + abs32_width_);
  }
}

std::optional<OffsetRange> Abs32GapFinder::FindNext() {
  while (abs32_current_ != abs32_end_ && *abs32_current_ < region_end_) {
    const offset_t location = *abs32_current_++;
    const std::uint64_t gap_lo = current_lo_;
    current_lo_ = std::uint64_t{location} + abs32_width_;
    if (gap_lo < location) return OffsetRange{static_cast<offset_t>(gap_lo), location};
  }
  if (current_lo_ < region_end_) {
    const OffsetRange gap{static_cast<offset_t>(current_lo_), region_end_};
    current_lo_ = region_end_;
    return gap;
  }
  return std::nullopt;
}

Rel32Finder::Rel32Finder(ConstBufferView image, const RvaOffsetMap& map) : image_(image), offset_to_rva_(map) {}

void Rel32Finder::SetRegion(OffsetRange region) {
  // Scans read the region's bytes without further tests.
  CHECK_LE(region.lo, region.hi);
  CHECK_LE(region.hi, image_.size());
  region_ = region;
  accept_position_ = region.lo;
}

bool Rel32Finder::FindNext() {
  const std::optional<NextPositions> next = Scan(region_);
  if (!next) return false;
  region_.lo = next->reject;
  accept_position_ = next->accept;
  return true;
}

void Rel32Finder::Accept() { region_.lo = accept_position_; }

void Rel32FinderIntel::SetResult(offset_t location, bool can_point_outside_section) {
  const rva_t location_rva = offset_to_rva_.Convert(location);
  rva_t target_rva = kInvalidRva;
  if (location_rva != kInvalidRva) {
    std::uint32_t displacement;
    std::memcpy(&displacement, image_.begin() + location, sizeof(displacement));
    target_rva = location_rva + 4 + displacement;  // wraps like the processor's arithmetic
  }
  rel32_ = Result{location, target_rva, can_point_outside_section};
}

// The candidate at p: a five-byte call or jmp, else a six-byte form whose displacement may
// point outside the section unless it is a jcc.
template <bool kX64>
std::optional<Rel32Finder::NextPositions> Rel32FinderIntel::ScanFor(OffsetRange region) {
  const std::uint8_t* const data = image_.begin();
  const offset_t p = FindCandidate<kX64>(data, region.lo, region.hi);
  if (p == region.hi) return std::nullopt;
  if (data[p] == 0xE8 || data[p] == 0xE9) {
    SetResult(p + 1, false);
    return NextPositions{p + 1, p + 5};
  }
  SetResult(p + 2, data[p] != 0x0F);
  return NextPositions{p + 1, p + 6};
}

std::optional<Rel32Finder::NextPositions> Rel32FinderX86::Scan(OffsetRange region) { return ScanFor<false>(region); }

std::optional<Rel32Finder::NextPositions> Rel32FinderX64::Scan(OffsetRange region) { return ScanFor<true>(region); }

}  // namespace kestor
