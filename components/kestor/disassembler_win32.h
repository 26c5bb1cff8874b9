#pragma once
// Disassemblers of Windows PE images: PE32 ("Px86") and PE32+ ("Px64"). Parse checks the
// headers and builds the address translation from the section table; three kinds of
// reference follow lazily, each at most once per disassembler: the base-relocation entries
// (once the relocation table is located), the absolute addresses those entries relocate, and
// the rel32 branches of the code sections, found by a byte scan that skips the absolute
// addresses.
//
// The image is untrusted: every header field is tested before it is used. Defects of the
// relocation table do not fail anything; the relocation and abs32 kinds are then empty.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "components/kestor/disassembler.h"
#include "components/kestor/image_utils.h"
#include "components/kestor/rel32_finder.h"
#include "components/kestor/reloc_win32.h"
#include "components/kestor/rva_offset_map.h"

namespace kestor {

namespace pe {

// A section header as the file holds it (40 bytes, little-endian).
struct ImageSectionHeader {
  char name[8];
  std::uint32_t virtual_size;
  std::uint32_t virtual_address;
  std::uint32_t size_of_raw_data;
  std::uint32_t pointer_to_raw_data;
  std::uint32_t pointer_to_relocations;
  std::uint32_t pointer_to_line_numbers;
  std::uint16_t number_of_relocations;
  std::uint16_t number_of_line_numbers;
  std::uint32_t characteristics;
};
static_assert(sizeof(ImageSectionHeader) == 40);

inline constexpr std::uint32_t kImageScnMemExecute = 0x20000000;
inline constexpr std::uint32_t kImageScnMemRead = 0x40000000;

}  // namespace pe

struct Win32X86Traits {
  static constexpr ExecutableType kExeType = kExeTypeWin32X86;
  static constexpr const char kExeTypeString[] = "Windows PE x86";
  static constexpr std::uint16_t kMagic = 0x10B;
  // Offset of the data directories in the optional header: its least size.
  static constexpr std::uint16_t kMinOptionalHeaderSize = 96;
  // The optional header of full size; the section table is read behind it.
  static constexpr std::uint32_t kOptionalHeaderSize = 224;
  static constexpr std::uint32_t kImageBaseOffset = 28;
  using ImageBase = std::uint32_t;
  static constexpr std::uint32_t kNumberOfRvaAndSizesOffset = 92;
  // Width of an absolute address.
  static constexpr std::uint32_t kVAWidth = 4;
  static constexpr std::uint16_t kRelocType = 3;  // IMAGE_REL_BASED_HIGHLOW
  using Rel32FinderUse = Rel32FinderX86;
};

struct Win32X64Traits {
  static constexpr ExecutableType kExeType = kExeTypeWin32X64;
  static constexpr const char kExeTypeString[] = "Windows PE x64";
  static constexpr std::uint16_t kMagic = 0x20B;
  static constexpr std::uint16_t kMinOptionalHeaderSize = 112;
  static constexpr std::uint32_t kOptionalHeaderSize = 240;
  static constexpr std::uint32_t kImageBaseOffset = 24;
  using ImageBase = std::uint64_t;
  static constexpr std::uint32_t kNumberOfRvaAndSizesOffset = 108;
  static constexpr std::uint32_t kVAWidth = 8;
  static constexpr std::uint16_t kRelocType = 10;  // IMAGE_REL_BASED_DIR64
  using Rel32FinderUse = Rel32FinderX64;
};

template <class Traits>
class DisassemblerWin32 : public Disassembler {
 public:
  DisassemblerWin32() = default;

  ExecutableType GetExeType() const override { return Traits::kExeType; }
  std::string GetExeTypeString() const override { return Traits::kExeTypeString; }
  // Relocations (width 2), abs32 (kVAWidth) and rel32 (4), in pools 0, 1 and 2.
  std::vector<ReferenceGroup> MakeReferenceGroups() const override;
  // True for a PE image of this kind; the image is then trimmed to the end of the last
  // section's raw data (an overlay behind it is not part of the image).
  bool Parse(ConstBufferView image) override;

  std::unique_ptr<ReferenceReader> MakeReadRelocs(offset_t lo, offset_t hi);
  // Null when lo or hi falls inside an absolute address.
  std::unique_ptr<ReferenceReader> MakeReadAbs32(offset_t lo, offset_t hi);
  std::unique_ptr<ReferenceReader> MakeReadRel32(offset_t lo, offset_t hi);
  std::unique_ptr<ReferenceWriter> MakeWriteRelocs(MutableBufferView image);
  std::unique_ptr<ReferenceWriter> MakeWriteAbs32(MutableBufferView image);
  std::unique_ptr<ReferenceWriter> MakeWriteRel32(MutableBufferView image);

  typename Traits::ImageBase image_base() const { return image_base_; }
  const std::vector<pe::ImageSectionHeader>& sections() const { return sections_; }
  const RvaOffsetMap& rva_offset_map() const { return map_; }
  // What the lazy steps found so far; the factories above run them.
  const RelocRegion& reloc_region() const { return reloc_region_; }
  const std::vector<offset_t>& reloc_block_offsets() const { return reloc_block_offsets_; }
  const std::deque<offset_t>& abs32_locations() const { return abs32_locations_; }
  const std::deque<offset_t>& rel32_locations() const { return rel32_locations_; }

 private:
  bool ParseHeader();
  // The three lazy steps; each runs once, whether it succeeds or not.
  void LocateRelocRegion();
  void CollectAbs32Locations();
  void CollectRel32Locations();

  std::vector<pe::ImageSectionHeader> sections_;
  typename Traits::ImageBase image_base_ = 0;
  // The base-relocation directory entry.
  std::uint32_t reloc_directory_rva_ = 0;
  std::uint32_t reloc_directory_size_ = 0;
  RvaOffsetMap map_;
  RelocRegion reloc_region_;
  std::vector<offset_t> reloc_block_offsets_;
  std::deque<offset_t> abs32_locations_;
  std::deque<offset_t> rel32_locations_;
  bool has_parsed_relocs_ = false;
  bool has_parsed_abs32_ = false;
  bool has_parsed_rel32_ = false;
};

using DisassemblerWin32X86 = DisassemblerWin32<Win32X86Traits>;
using DisassemblerWin32X64 = DisassemblerWin32<Win32X64Traits>;

extern template class DisassemblerWin32<Win32X86Traits>;
extern template class DisassemblerWin32<Win32X64Traits>;

}  // namespace kestor
