#pragma once
// Absolute-address (abs32) references: addresses of `width` bytes stored at known locations,
// relative to the image base. Readers yield {location, target offset}; writers store the
// address of a re-aimed target.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

#include "components/kestor/buffer_view.h"
#include "components/kestor/image_utils.h"
#include "components/kestor/rva_offset_map.h"

namespace kestor {

// One stored address: its width (4 or 8 bytes), the image base and the current value.
class AbsoluteAddress {
 public:
  AbsoluteAddress(std::uint32_t width, std::uint64_t image_base);

  std::uint32_t width() const { return width_; }
  std::uint64_t image_base() const { return image_base_; }
  std::uint64_t value() const { return value_; }

  // Reads width bytes at offset; false when they do not fit.
  bool Read(offset_t offset, ConstBufferView image);
  // Writes width bytes at offset; false when they do not fit.
  bool Write(offset_t offset, MutableBufferView image) const;
  // value - image base when value >= base and the difference is below 0x7FFFFFFF, else
  // kInvalidRva.
  rva_t ToRva() const;
  // value = base + rva, false when rva is out of range or the sum wraps in width bytes.
  bool FromRva(rva_t rva);

 private:
  std::uint32_t width_;
  std::uint64_t image_base_;
  std::uint64_t value_ = 0;
};

// Whether `bound` falls strictly inside the body of a location of the sorted list.
bool Abs32BoundSplitsLocation(const std::deque<offset_t>& locations, std::uint32_t width, offset_t bound);

// Walks the locations in [lo, hi) and yields those whose stored address is an RVA.
class Abs32RvaExtractorWin32 {
 public:
  struct Unit {
    offset_t location;
    rva_t target_rva;
  };

  // lo <= hi and neither bound may fall inside a body (a stopping check: test the bounds
  // with Abs32BoundSplitsLocation first when they come from a file).
  Abs32RvaExtractorWin32(ConstBufferView image, AbsoluteAddress addr, const std::deque<offset_t>& locations,
                         offset_t lo, offset_t hi);

  std::optional<Unit> GetNext();

 private:
  std::deque<offset_t>::const_iterator LowerBoundChecked(const std::deque<offset_t>& locations, offset_t offset);

  ConstBufferView image_;
  AbsoluteAddress addr_;
  std::deque<offset_t>::const_iterator cur_;
  std::deque<offset_t>::const_iterator end_;
};

class Abs32ReaderWin32 : public ReferenceReader {
 public:
  Abs32ReaderWin32(Abs32RvaExtractorWin32 extractor, const RvaOffsetMap& map);
  std::optional<Reference> GetNext() override;

 private:
  Abs32RvaExtractorWin32 extractor_;
  RvaOffsetMap::RvaToOffsetCache target_rva_to_offset_;
};

// A reader over [lo, hi), or null when lo or hi falls inside an abs32 body (a range that only
// a damaged patch asks for).
std::unique_ptr<ReferenceReader> MakeAbs32ReaderWin32(ConstBufferView image, AbsoluteAddress addr,
                                                      const std::deque<offset_t>& locations, offset_t lo, offset_t hi,
                                                      const RvaOffsetMap& map);

class Abs32WriterWin32 : public ReferenceWriter {
 public:
  Abs32WriterWin32(MutableBufferView image, AbsoluteAddress addr, const RvaOffsetMap& map);
  // Skips a target without an RVA, an address that does not fit the width, and a location
  // whose body does not fit in the image.
  void PutNext(Reference ref) override;

 private:
  MutableBufferView image_;
  AbsoluteAddress addr_;
  RvaOffsetMap::OffsetToRvaCache target_offset_to_rva_;
};

// Keeps, in order, the locations whose body fits, whose address is an RVA and whose RVA has
// an offset (fake offsets count). Returns the number removed.
std::size_t RemoveUntranslatableAbs32(ConstBufferView image, AbsoluteAddress addr, const RvaOffsetMap& map,
                                      std::deque<offset_t>* locations);

// Keeps the first location and each one that starts at least `width` bytes after the last kept
// one. Returns the number removed.
std::size_t RemoveOverlappingAbs32Locations(std::uint32_t width, std::deque<offset_t>* locations);

}  // namespace kestor
