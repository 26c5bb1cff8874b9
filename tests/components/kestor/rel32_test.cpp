// Rel32 finders, the walk between abs32 bodies, and the x86 rel32 reader and writer, on
// hand-made byte strings whose expected candidates follow from the instruction encodings.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "components/kestor/rel32_finder.h"
#include "components/kestor/rel32_utils.h"
#include "components/kestor/rva_offset_map.h"
#include "tests/components/kestor/kestor_test_support.h"

namespace kestor {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Unit = RvaOffsetMap::Unit;

// An image whose offsets are its RVAs plus 0x1000, in one unit.
struct Image {
  explicit Image(Bytes bytes, std::vector<Unit> units = {}) : data(std::move(bytes)) {
    if (units.empty()) units = {{0, static_cast<offset_t>(data.size()), 0x1000, static_cast<rva_t>(data.size())}};
    EXPECT_EQ(map.Initialize(units), RvaOffsetMap::kSuccess);
  }
  ConstBufferView view() const { return ConstBufferView(data.data(), data.size()); }
  Bytes data;
  RvaOffsetMap map;
};

struct Candidate {
  offset_t location;
  rva_t target_rva;
  bool anywhere;
  bool operator==(const Candidate&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Candidate& c) {
  return os << "{" << c.location << ", 0x" << std::hex << c.target_rva << std::dec << ", " << c.anywhere << "}";
}

// Every candidate of [lo, hi), accepting those whose location is in `accept` (all when null).
template <class Finder>
std::vector<Candidate> Scan(const Image& image, OffsetRange region, const std::vector<offset_t>* accept = nullptr) {
  Finder finder(image.view(), image.map);
  finder.SetRegion(region);
  std::vector<Candidate> out;
  while (finder.FindNext()) {
    const Rel32FinderIntel::Result& r = finder.GetRel32();
    out.push_back({r.location, r.target_rva, r.can_point_outside_section});
    if (accept == nullptr || std::find(accept->begin(), accept->end(), r.location) != accept->end()) {
      finder.Accept();
    }
  }
  return out;
}

TEST(Rel32FinderX86, FindsCallJmpAndJccWithTheirTargets) {
  // 00: call +0x10 -> 0x1000 + 5 + 0x10; 05: jmp -5 -> itself; 0A: jne +0x20; 10: nop.
  const Image image(
      {0xE8, 0x10, 0x00, 0x00, 0x00, 0xE9, 0xFB, 0xFF, 0xFF, 0xFF, 0x0F, 0x85, 0x20, 0x00, 0x00, 0x00, 0x90});
  EXPECT_EQ(Scan<Rel32FinderX86>(image, {0, 17}),
            (std::vector<Candidate>{{1, 0x1015, false}, {6, 0x1005, false}, {12, 0x1030, false}}));
}

// The opcode must leave room for its whole instruction inside the gap.
TEST(Rel32FinderX86, AnInstructionThatPassesTheGapEndIsNoCandidate) {
  struct Case {
    Bytes bytes;
    offset_t gap_end;
    std::size_t candidates;
  } cases[] = {
      {{0x90, 0xE8, 0, 0, 0, 0}, 6, 1},  // five bytes from the opcode: a candidate
      {{0x90, 0xE8, 0, 0, 0, 0}, 5, 0},  // four bytes after the opcode: none
      {{0x0F, 0x84, 0, 0, 0, 0}, 6, 1},  // jcc needs six
      {{0x0F, 0x84, 0, 0, 0, 0}, 5, 0},    {{0x0F, 0x7F, 0, 0, 0, 0, 0}, 7, 0},  // 0F 7F is no jcc
      {{0x0F, 0x90, 0, 0, 0, 0, 0}, 7, 0},                                       // nor 0F 90 (setcc)
  };
  for (const Case& c : cases) {
    const Image image(c.bytes);
    EXPECT_EQ(Scan<Rel32FinderX86>(image, {0, c.gap_end}).size(), c.candidates) << c.gap_end;
    EXPECT_EQ(Scan<Rel32FinderX64>(image, {0, c.gap_end}).size(), c.candidates) << c.gap_end;
  }
}

// A rejected candidate makes the scan go on one byte after its first byte, so an E8 inside
// its displacement is found; an accepted one skips its whole instruction.
TEST(Rel32FinderX86, RejectedCandidatesResumeAtTheNextByteAcceptedOnesAfterTheInstruction) {
  // 0F 85 | E8 01 00 00 | 00 00 00
  const Image image({0x0F, 0x85, 0xE8, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00});
  const std::vector<offset_t> none;
  EXPECT_EQ(Scan<Rel32FinderX86>(image, {0, 9}, &none),
            (std::vector<Candidate>{{2, 0x1006 + 0x000001E8, false}, {3, 0x1008, false}}));
  // Accepting the jcc hides the E8 inside its displacement.
  EXPECT_EQ(Scan<Rel32FinderX86>(image, {0, 9}), (std::vector<Candidate>{{2, 0x1006 + 0x000001E8, false}}));
}

// One instruction at every position of gaps of nops up to 48 bytes long: found exactly where
// it fits, whether the scan meets it sixteen bytes at a time or one by one near the gap's end.
TEST(Rel32FinderX86, FindsAnInstructionAtEveryPositionOfAGap) {
  struct Form {
    Bytes bytes;
    bool x86;
  } forms[] = {{{0xE8}, true},        {{0xE9}, true},       {{0x0F, 0x8C}, true}, {{0x48, 0x8B, 0x05}, false},
               {{0x89, 0x0D}, false}, {{0xFF, 0x25}, false}};
  for (const Form& form : forms) {
    const offset_t opcode_at = form.bytes[0] == 0x48 ? 1 : 0;
    const offset_t displacement_at = form.bytes[0] == 0xE8 || form.bytes[0] == 0xE9 ? 1 : 2;
    for (offset_t gap = 4; gap <= 48; ++gap) {
      for (offset_t k = 0; k + form.bytes.size() <= gap; ++k) {
        Bytes bytes(gap, 0x90);
        std::copy(form.bytes.begin(), form.bytes.end(), bytes.begin() + k);
        const Image image(bytes);
        const offset_t opcode = k + opcode_at;
        const bool fits = gap - opcode >= displacement_at + 4;
        const auto x64 = Scan<Rel32FinderX64>(image, {0, gap});
        ASSERT_EQ(x64.size(), fits ? 1u : 0u) << int{form.bytes[0]} << " at " << k << " of " << gap;
        if (fits) {
          EXPECT_EQ(x64[0].location, opcode + displacement_at) << int{form.bytes[0]} << " at " << k;
        }
        ASSERT_EQ(Scan<Rel32FinderX86>(image, {0, gap}).size(), fits && form.x86 ? 1u : 0u)
            << int{form.bytes[0]} << " at " << k << " of " << gap;
      }
    }
  }
}

TEST(Rel32FinderX64, FindsRipRelativeOperandsThatMayPointOutsideTheirSection) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::optional<offset_t> location;
    bool anywhere;
  } cases[] = {
      {"lea rax, [rip+d]", {0x48, 0x8D, 0x05, 0x10, 0, 0, 0}, 3, true},
      {"mov eax, [rip+d]", {0x8B, 0x05, 0x10, 0, 0, 0}, 2, true},
      {"mov ecx, [rip+d]", {0x8B, 0x0D, 0x10, 0, 0, 0}, 2, true},
      {"mov [rip+d], edi", {0x89, 0x3D, 0x10, 0, 0, 0}, 2, true},
      {"call [rip+d]", {0xFF, 0x15, 0x10, 0, 0, 0}, 2, true},
      {"jmp [rip+d]", {0xFF, 0x25, 0x10, 0, 0, 0}, 2, true},
      {"jcc", {0x0F, 0x8F, 0x10, 0, 0, 0}, 2, false},
      {"lea with SIB, no base", {0x8D, 0x04, 0x25, 0x10, 0, 0, 0}, std::nullopt, false},
      {"mov eax, [rbp+d8]", {0x8B, 0x45, 0x10, 0, 0, 0}, std::nullopt, false},
      {"mov eax, [rbp+d32]", {0x8B, 0x85, 0x10, 0, 0, 0}, std::nullopt, false},
      {"push [rip+d]", {0xFF, 0x35, 0x10, 0, 0, 0}, std::nullopt, false},
      {"add eax, [rip+d]", {0x03, 0x05, 0x10, 0, 0, 0}, std::nullopt, false},
      {"lea too short", {0x8D, 0x05, 0x10, 0, 0}, std::nullopt, false},
  };
  for (const Case& c : cases) {
    const Image image(c.bytes);
    const auto found = Scan<Rel32FinderX64>(image, {0, static_cast<offset_t>(c.bytes.size())});
    if (!c.location) {
      EXPECT_TRUE(found.empty()) << c.name;
      continue;
    }
    ASSERT_EQ(found.size(), 1u) << c.name;
    EXPECT_EQ(found[0].location, *c.location) << c.name;
    EXPECT_EQ(found[0].target_rva, 0x1000 + *c.location + 4 + 0x10) << c.name;
    EXPECT_EQ(found[0].anywhere, c.anywhere) << c.name;
    // None of the RIP-relative forms is an x86 candidate.
    if (c.anywhere) {
      EXPECT_TRUE(Scan<Rel32FinderX86>(image, {0, static_cast<offset_t>(c.bytes.size())}).empty()) << c.name;
    }
  }
}

// The displacement wraps in 32 bits; an untranslatable location has no target.
TEST(Rel32FinderX86, TargetsWrapAndNeedATranslatableLocation) {
  Image wrapping({0xE8, 0x00, 0xF0, 0xFF, 0xFF});  // call -0x1000 from RVA 0x1005
  EXPECT_EQ(Scan<Rel32FinderX86>(wrapping, {0, 5}), (std::vector<Candidate>{{1, 0x5, false}}));
  Image far({0xE8, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0});
  EXPECT_EQ(Scan<Rel32FinderX86>(far, {0, 5})[0].target_rva, 0x1004u);
  // Only [4, 8) translates: the call at 0 has no RVA.
  Image partly({0xE8, 0, 0, 0, 0, 0, 0, 0}, {{4, 4, 0x2000, 4}});
  EXPECT_EQ(Scan<Rel32FinderX86>(partly, {0, 8}), (std::vector<Candidate>{{1, kInvalidRva, false}}));
}

TEST(Abs32GapFinder, HandsOutTheGapsBetweenBodies) {
  const Bytes bytes(0x100, 0);
  const ConstBufferView image(bytes.data(), bytes.size());
  struct Case {
    const char* name;
    OffsetRange region;
    std::deque<offset_t> locations;
    std::uint32_t width;
    std::vector<OffsetRange> gaps;
  } cases[] = {
      {"no locations", {0x10, 0x40}, {}, 4, {{0x10, 0x40}}},
      {"bodies inside", {0x10, 0x40}, {0x14, 0x20, 0x24}, 4, {{0x10, 0x14}, {0x18, 0x20}, {0x28, 0x40}}},
      {"a body two bytes before the region", {0x10, 0x40}, {0x0E}, 4, {{0x12, 0x40}}},
      {"a body ending at the region", {0x10, 0x40}, {0x0C}, 4, {{0x10, 0x40}}},
      {"a body at the region start", {0x10, 0x40}, {0x10}, 8, {{0x18, 0x40}}},
      {"a body passing the region end", {0x10, 0x40}, {0x3C}, 8, {{0x10, 0x3C}}},
      {"locations after the region", {0x10, 0x40}, {0x40, 0x80}, 4, {{0x10, 0x40}}},
      {"a region filled by bodies", {0x10, 0x18}, {0x10, 0x14}, 4, {}},
      {"an empty region", {0x20, 0x20}, {0x10}, 4, {}},
  };
  for (const Case& c : cases) {
    Abs32GapFinder gaps(image, c.region, c.locations, c.width);
    std::vector<OffsetRange> found;
    while (std::optional<OffsetRange> gap = gaps.FindNext()) found.push_back(*gap);
    EXPECT_EQ(found, c.gaps) << c.name;
    EXPECT_FALSE(gaps.FindNext()) << c.name;
  }
}

TEST(Rel32ReaderX86, YieldsLocationsInRangeWithTranslatedTargets) {
  // Unit 0: offsets [0, 0x20) at RVA 0x1000, with a file-less tail up to RVA 0x1040.
  Bytes bytes(0x20, 0);
  const auto put = [&](offset_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put(0x04, 0x08);        // -> RVA 0x1010, offset 0x10
  put(0x0C, 0x20);        // -> RVA 0x1030: in the tail, fake offset
  put(0x14, 0x1000);      // -> RVA 0x2018: no unit
  put(0x1A, 0xFFFFFFE2);  // -> RVA 0x1000, offset 0
  const Image image(bytes, {{0, 0x20, 0x1000, 0x40}});
  const std::deque<offset_t> locations = {0x04, 0x0C, 0x14, 0x1A};
  const offset_t fake = image.map.fake_offset_begin() + 0x1030;
  struct Case {
    offset_t lo, hi;
    std::vector<Reference> refs;
  } cases[] = {
      {0, 0x20, {{0x04, 0x10}, {0x0C, fake}, {0x14, kInvalidOffset}, {0x1A, 0}}},
      {0x05, 0x14, {{0x0C, fake}}},
      {0x0C, 0x15, {{0x0C, fake}, {0x14, kInvalidOffset}}},
      {0x1B, 0x20, {}},
  };
  for (const Case& c : cases) {
    Rel32ReaderX86 reader(image.view(), c.lo, c.hi, locations, image.map);
    std::vector<Reference> refs;
    while (std::optional<Reference> ref = reader.GetNext()) refs.push_back(*ref);
    EXPECT_EQ(refs, c.refs) << c.lo << ".." << c.hi;
  }
}

TEST(Rel32WriterX86, WritesDisplacementsAndSkipsBodiesThatDoNotFit) {
  Bytes bytes(0x20, 0xCC);
  RvaOffsetMap map;
  ASSERT_EQ(map.Initialize({{0, 0x20, 0x1000, 0x40}}), RvaOffsetMap::kSuccess);
  Rel32WriterX86 writer(MutableBufferView(bytes.data(), bytes.size()), map);
  writer.PutNext({0x04, 0x10});                              // 0x1010 - 0x1008
  writer.PutNext({0x0C, map.fake_offset_begin() + 0x1030});  // into the tail: 0x1030 - 0x1010
  writer.PutNext({0x14, 0x00});                              // backwards: 0x1000 - 0x1018
  Bytes expected(0x20, 0xCC);
  const auto put = [&](offset_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) expected[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put(0x04, 0x08);
  put(0x0C, 0x20);
  put(0x14, 0xFFFFFFE8);
  EXPECT_EQ(bytes, expected);
  // Bodies running past the image's end, or starting beyond it, are left alone.
  for (offset_t location : {0x1Du, 0x1Fu, 0x20u, 0xFFFFFFFEu}) writer.PutNext({location, 0x10});
  EXPECT_EQ(bytes, expected);
}

// The warning budget is process-wide; this is the only test that spends it.
TEST(Rel32MixFailureWarning, TheFirstTenAreWrittenThenOneSuppressionLine) {
  testing::internal::CaptureStdout();
  for (int type = 0; type < 12; ++type) OutputRel32MixFailureWarning(type);
  const std::string out = testing::internal::GetCapturedStdout();
  // The text itself ends in a newline, so each report is followed by an empty line.
  EXPECT_NE(out.find("] Reference byte mix failed with type = 9.\n\n["), std::string::npos) << out;
  const std::vector<kestor_test::LogLine> lines = kestor_test::ParseLogLines(out);
  ASSERT_EQ(lines.size(), 11u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(lines[i].severity, "WARNING");
    EXPECT_TRUE(kestor_test::EndsWith(lines[i].file, "components/kestor/rel32_utils.cpp")) << lines[i].file;
    EXPECT_EQ(lines[i].message, "Reference byte mix failed with type = " + std::to_string(i) + ".");
  }
  EXPECT_EQ(lines[10].message, "(Additional output suppressed)");
}

}  // namespace
}  // namespace kestor
