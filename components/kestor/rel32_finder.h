#pragma once
// Finding relative branches, calls and RIP-relative operands in code by their byte patterns.
//
// A code region is scanned gap by gap: the gaps lie between the bodies of absolute addresses
// found before, so no abs32 body is ever taken for code. A finder yields one candidate at a
// time; its disassembler judges it. An accepted candidate makes the scan resume after the
// candidate's instruction, so its own displacement bytes are never candidates; a rejected one
// makes it resume one byte after the candidate's first byte.
#include <cstdint>
#include <deque>
#include <optional>

#include "components/kestor/buffer_view.h"
#include "components/kestor/image_utils.h"
#include "components/kestor/rva_offset_map.h"

namespace kestor {

// A byte range [lo, hi) of an image, as offsets.
struct OffsetRange {
  offset_t lo;
  offset_t hi;
  bool empty() const { return lo >= hi; }
  bool operator==(const OffsetRange&) const = default;
};

// Walks the region [lo, hi) of an image and hands out the gaps between the bodies of the
// sorted abs32 locations. A body that straddles the region's start is skipped.
class Abs32GapFinder {
 public:
  Abs32GapFinder(ConstBufferView image, OffsetRange region, const std::deque<offset_t>& abs32_locations,
                 std::uint32_t abs32_width);
  Abs32GapFinder(const Abs32GapFinder&) = delete;
  Abs32GapFinder& operator=(const Abs32GapFinder&) = delete;

  // The next non-empty gap, or nothing once the region is used up.
  std::optional<OffsetRange> FindNext();

 private:
  const offset_t region_end_;
  std::uint64_t current_lo_;
  std::deque<offset_t>::const_iterator abs32_current_;
  const std::deque<offset_t>::const_iterator abs32_end_;
  const std::uint32_t abs32_width_;
};

// Scans one gap at a time for candidates. Protocol: SetRegion(gap); while FindNext(): judge the
// candidate (its data are in the derived finder) and call Accept() to keep it.
class Rel32Finder {
 public:
  Rel32Finder(ConstBufferView image, const RvaOffsetMap& map);
  Rel32Finder(const Rel32Finder&) = delete;
  Rel32Finder& operator=(const Rel32Finder&) = delete;
  virtual ~Rel32Finder() = default;

  void SetRegion(OffsetRange region);
  // Whether a further candidate exists; its data are then in the finder.
  bool FindNext();
  // Keeps the last candidate: the scan resumes after its instruction.
  void Accept();

 protected:
  // Where the scan resumes: after a rejected candidate, and after an accepted one.
  struct NextPositions {
    offset_t reject;
    offset_t accept;
  };
  // Looks for the next candidate in `region` from region.lo; nothing at the region's end.
  virtual std::optional<NextPositions> Scan(OffsetRange region) = 0;

  ConstBufferView image_;
  RvaOffsetMap::OffsetToRvaCache offset_to_rva_;

 private:
  OffsetRange region_{0, 0};
  offset_t accept_position_ = 0;
};

// The x86 and x86-64 candidate: a 32-bit displacement from the end of its instruction.
class Rel32FinderIntel : public Rel32Finder {
 public:
  using Rel32Finder::Rel32Finder;

  struct Result {
    offset_t location;  // offset of the displacement
    rva_t target_rva;   // RVA of the location + 4 + displacement (wrapping), or kInvalidRva
    bool can_point_outside_section;
  };
  const Result& GetRel32() const { return rel32_; }

 protected:
  // Records the candidate whose displacement is at `location`.
  void SetResult(offset_t location, bool can_point_outside_section);
  // The scan of both finders; kX64 adds the RIP-relative forms.
  template <bool kX64>
  std::optional<NextPositions> ScanFor(OffsetRange region);

 private:
  Result rel32_{};
};

// call/jmp rel32 (E8, E9) and jcc rel32 (0F 80..8F).
class Rel32FinderX86 : public Rel32FinderIntel {
 public:
  using Rel32FinderIntel::Rel32FinderIntel;

 protected:
  std::optional<NextPositions> Scan(OffsetRange region) override;
};

// As for x86, and RIP-relative operands that may point anywhere in the image: mov to and from
// memory and lea (89, 8B, 8D with ModRM 00 reg 101), call and jmp through a pointer (FF 15,
// FF 25). Prefixes are not decoded.
class Rel32FinderX64 : public Rel32FinderIntel {
 public:
  using Rel32FinderIntel::Rel32FinderIntel;

 protected:
  std::optional<NextPositions> Scan(OffsetRange region) override;
};

}  // namespace kestor
