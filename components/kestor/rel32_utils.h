#pragma once
// Reading and writing x86 and x86-64 rel32 references: a 32-bit little-endian displacement
// from the end of its four bytes to the target. Also the throttled warning of failed
// reference byte mixes.
#include <cstdint>
#include <deque>
#include <optional>

#include "components/kestor/buffer_view.h"
#include "components/kestor/image_utils.h"
#include "components/kestor/rva_offset_map.h"

namespace kestor {

// The rel32 references whose location lies in [lo, hi), from a sorted location list.
class Rel32ReaderX86 : public ReferenceReader {
 public:
  Rel32ReaderX86(ConstBufferView image, offset_t lo, offset_t hi, const std::deque<offset_t>& locations,
                 const RvaOffsetMap& map);

  // {location, target offset}; a target outside every unit gives kInvalidOffset, and a target
  // in a file-less tail a fake offset.
  std::optional<Reference> GetNext() override;

 private:
  ConstBufferView image_;
  RvaOffsetMap::OffsetToRvaCache location_offset_to_rva_;
  RvaOffsetMap::RvaToOffsetCache target_rva_to_offset_;
  std::deque<offset_t>::const_iterator current_;
  const std::deque<offset_t>::const_iterator end_;
  const offset_t hi_;
};

class Rel32WriterX86 : public ReferenceWriter {
 public:
  Rel32WriterX86(MutableBufferView image, const RvaOffsetMap& map);

  // Writes RVA(target) - RVA(location) - 4 at the location. A location whose four bytes do not
  // fit in the image, which only a damaged patch gives, is skipped.
  void PutNext(Reference ref) override;

 private:
  MutableBufferView image_;
  RvaOffsetMap::OffsetToRvaCache target_offset_to_rva_;
  RvaOffsetMap::OffsetToRvaCache location_offset_to_rva_;
};

// Reports a failed reference byte mix of address type `type` as a WARNING line. Only the first
// ten reports of the process are written; the tenth is followed by "(Additional output
// suppressed)".
void OutputRel32MixFailureWarning(int type);

}  // namespace kestor
