#pragma once
// ELF relocation references: a relocation entry of relative type is a reference from the entry
// (its location) to the place where the relocated address is stored (its target). Re-aiming
// one rewrites the entry's r_offset; r_info and the addend stay as they are.
#include <cstdint>
#include <optional>
#include <vector>

#include "components/kestor/buffer_view.h"
#include "components/kestor/image_utils.h"
#include "components/kestor/rva_offset_map.h"

namespace kestor {

// One relocation section: its bytes [offset, offset + size) hold entries of entry_size bytes.
// A section that is not a whole number of entries is accepted; its last entry runs past it.
struct SectionDimensionsElf {
  offset_t offset;
  offset_t size;
  offset_t entry_size;

  std::uint64_t end() const { return std::uint64_t{offset} + size; }
  bool operator<(const SectionDimensionsElf& that) const { return offset < that.offset; }
  bool operator==(const SectionDimensionsElf&) const = default;
};

// The relocations of type `rel_type` whose entry starts in [lo, hi), widened to whole entries
// of the sections that lo and hi fall in, and never past the image's end. `width` is 4 for
// 32-bit entries {r_offset u32, r_info u32} and 8 for 64-bit ones {r_offset u64, r_info u64}.
// `sections` is sorted by offset, not empty, and lies inside the image.
class RelocReaderElf : public ReferenceReader {
 public:
  RelocReaderElf(ConstBufferView image, std::uint32_t width, const std::vector<SectionDimensionsElf>& sections,
                 std::uint32_t rel_type, offset_t lo, offset_t hi, const RvaOffsetMap& map);

  // {entry offset, offset of r_offset}; entries of other types, entries whose r_offset does
  // not translate or leaves fewer than width bytes of the image there, and 64-bit r_offsets
  // of 2^32 or more (with a WARNING) are skipped.
  std::optional<Reference> GetNext() override;

 private:
  ConstBufferView image_;
  const std::uint32_t width_;
  const std::uint32_t rel_type_;
  const std::vector<SectionDimensionsElf>& sections_;
  std::vector<SectionDimensionsElf>::const_iterator current_;
  std::uint64_t cursor_;
  std::uint64_t end_cursor_;
  RvaOffsetMap::RvaToOffsetCache target_rva_to_offset_;
};

class RelocWriterElf : public ReferenceWriter {
 public:
  RelocWriterElf(MutableBufferView image, std::uint32_t width, const RvaOffsetMap& map);

  // Writes the target's RVA as r_offset at the location (u32, or u64 zero-extended). A
  // location whose r_offset does not fit in the image, which only a damaged patch gives, is
  // skipped.
  void PutNext(Reference ref) override;

 private:
  MutableBufferView image_;
  const std::uint32_t width_;
  RvaOffsetMap::OffsetToRvaCache target_offset_to_rva_;
};

}  // namespace kestor
