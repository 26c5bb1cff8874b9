#pragma once
// PE base relocations. The base-relocation table is a run of blocks, each an 8-byte header
// {page RVA u32, SizeOfBlock u32 (header included)} followed by 2-byte entries whose high 4
// bits are the relocation type and whose low 12 bits the offset within the 4 KiB page. An
// entry of the type that matters (HIGHLOW for PE32, DIR64 for PE32+) is a reference from the
// entry itself to the place where the relocated absolute address is stored; re-aiming it
// rewrites the entry's 12-bit page offset.
#include <cstdint>
#include <optional>
#include <vector>

#include "components/kestor/buffer_view.h"
#include "components/kestor/image_utils.h"
#include "components/kestor/rva_offset_map.h"

namespace kestor {

// Where the base-relocation table lies in the image. No table: the invalid offset.
struct RelocRegion {
  std::uint64_t offset = kInvalidOffset;
  std::uint64_t size = 0;
  bool operator==(const RelocRegion&) const = default;
};

// One relocation entry as read: type 0 to 15, the entry's image offset, and the RVA it names.
struct RelocEntry {
  std::uint8_t type;
  offset_t location;
  rva_t target_rva;
  bool operator==(const RelocEntry&) const = default;
};

// Fills block_offsets with the image offset of every block header of the region, ascending.
// True when the blocks tile the region exactly (an empty region has no blocks); false when a
// SizeOfBlock is below 8, not a multiple of 4 or runs past the region, when a tail too short
// for a header remains, and for a region of 0x7FFFFFFF bytes or more (only an image above
// 2 GiB holds one: it is treated as a missing table). The region lies inside the image.
bool FindRelocBlocks(ConstBufferView image, RelocRegion region, std::vector<offset_t>* block_offsets);

// Walks the entries whose 2 bytes lie in [lo, hi), clamped to the region. `block_offsets` are
// the region's blocks as FindRelocBlocks found them; both stay owned by the caller.
class RelocRvaReaderWin32 {
 public:
  RelocRvaReaderWin32(ConstBufferView image, RelocRegion region, const std::vector<offset_t>& block_offsets,
                      offset_t lo, offset_t hi);

  // The next entry of any type (padding entries of type 0 included), or nothing.
  std::optional<RelocEntry> GetNext();

 private:
  // Makes the block at block_offset current; false when its header and one entry do not fit
  // before the reader's end.
  bool LoadRelocBlock(std::uint64_t block_offset);

  ConstBufferView image_;
  std::uint64_t end_ = 0;          // the clamped hi
  std::uint64_t cur_entry_ = 0;    // the next entry
  std::uint64_t end_entries_ = 0;  // the end of the current block's entries
  rva_t page_rva_ = 0;             // the current block's page RVA
  bool exhausted_ = true;
};

// The entries of `reloc_type` whose target translates to an offset below `offset_bound` (room
// for the address they relocate): {entry offset, target offset}.
class RelocReaderWin32 : public ReferenceReader {
 public:
  RelocReaderWin32(RelocRvaReaderWin32&& reloc_rva_reader, std::uint16_t reloc_type, offset_t offset_bound,
                   const RvaOffsetMap& map);

  std::optional<Reference> GetNext() override;

 private:
  RelocRvaReaderWin32 reloc_rva_reader_;
  const std::uint16_t reloc_type_;
  const offset_t offset_bound_;
  RvaOffsetMap::RvaToOffsetCache entry_rva_to_offset_;
};

// Rewrites an entry so that it names the target: (type << 12) | (target RVA - page RVA of the
// entry's block). `block_offsets` are the blocks of the image being written, found by its own
// disassembler. An entry that no block holds, one whose target lies outside its block's page,
// and one whose 2 bytes do not fit in the image are left as they are, with an ERROR line.
class RelocWriterWin32 : public ReferenceWriter {
 public:
  RelocWriterWin32(std::uint16_t reloc_type, MutableBufferView image, const std::vector<offset_t>& block_offsets,
                   const RvaOffsetMap& map);

  void PutNext(Reference ref) override;

 private:
  const std::uint16_t reloc_type_;
  MutableBufferView image_;
  const std::vector<offset_t>& block_offsets_;
  RvaOffsetMap::OffsetToRvaCache target_offset_to_rva_;
};

}  // namespace kestor
