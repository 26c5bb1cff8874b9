#include "components/kestor/disassembler_elf.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/logging.h"
#include "components/kestor/abs32_utils.h"
#include "components/kestor/rel32_utils.h"

namespace kestor {
namespace {

// Addresses and sizes of sections stay below this, so that every sum of two of them fits
// an RVA and leaves room for fake offsets.
constexpr std::uint64_t kSectionAddressBound = 0x7FFF0000;
constexpr std::uint64_t kU32Max = 0xFFFFFFFF;

}  // namespace

template <class Traits>
bool DisassemblerElf<Traits>::Parse(ConstBufferView image) {
  image_ = image;
  if (image_.size() >= (std::uint64_t{1} << 32)) return false;
  std::uint64_t offset_bound = 0;
  if (!ParseHeader(&offset_bound) || !ParseSections(&offset_bound)) return false;
  // Trailing bytes that no header accounts for are not part of the image.
  image_.shrink(static_cast<std::size_t>(offset_bound));
  ExtractInterestingSections();
  GetAbs32FromRelocSections();
  for (const Shdr& section : exec_sections_) ParseExecSection(section);
  PostProcessRel32();
  return true;
}

// The header, the two header tables and the section-name table; offset_bound becomes the end
// of the furthest table or segment.
template <class Traits>
bool DisassemblerElf<Traits>::ParseHeader(std::uint64_t* offset_bound) {
  const std::uint64_t size = image_.size();
  if (size < SELFMAG || std::memcmp(image_.begin(), ELFMAG, SELFMAG) != 0) return false;
  if (size < sizeof(Ehdr)) return false;
  const Ehdr header = image_.read<Ehdr>(0);
  if (header.e_ident[EI_CLASS] != Traits::kIdentClass || header.e_ident[EI_DATA] != ELFDATA2LSB) return false;
  if (header.e_type != ET_EXEC && header.e_type != ET_DYN) return false;
  if (header.e_version != EV_CURRENT || header.e_ident[EI_VERSION] != EV_CURRENT) return false;
  if (header.e_machine != Traits::kMachine) return false;
  if (header.e_shentsize != sizeof(Shdr)) return false;

  const std::uint64_t section_table = std::min<std::uint64_t>(header.e_shoff, size);
  const std::uint64_t section_table_end = section_table + std::uint64_t{header.e_shnum} * sizeof(Shdr);
  if (section_table_end > size) return false;
  const std::uint64_t segment_table = std::min<std::uint64_t>(header.e_phoff, size);
  const std::uint64_t segment_table_end = segment_table + std::uint64_t{header.e_phnum} * sizeof(Phdr);
  if (segment_table_end > size) return false;

  sections_.resize(header.e_shnum);
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    sections_[i] = image_.read<Shdr>(static_cast<std::size_t>(section_table + i * sizeof(Shdr)));
  }
  segments_.resize(header.e_phnum);
  for (std::size_t i = 0; i < segments_.size(); ++i) {
    segments_[i] = image_.read<Phdr>(static_cast<std::size_t>(segment_table + i * sizeof(Phdr)));
  }

  if (header.e_shstrndx >= header.e_shnum) return false;
  const Shdr& names = sections_[header.e_shstrndx];
  if (names.sh_size != 0) {
    const std::uint64_t start = std::min<std::uint64_t>(names.sh_offset, size);
    if (names.sh_size > size - start) return false;
    if (image_[static_cast<std::size_t>(start + names.sh_size - 1)] != 0) return false;
  }

  *offset_bound = std::max(section_table_end, segment_table_end);
  for (const Phdr& segment : segments_) {
    const std::uint64_t offset = segment.p_offset;
    const std::uint64_t file_size = segment.p_filesz;
    // Both fields and their sum fit 32 bits (for the 32-bit class: the sum does not wrap).
    if (offset > kU32Max || file_size > kU32Max - offset) return false;
    if (offset > size || file_size > size - offset) return false;
    *offset_bound = std::max(*offset_bound, offset + file_size);
  }
  return true;
}

// Judges every section, extends offset_bound by the bounding ones and builds the address
// translation from the translatable ones.
template <class Traits>
bool DisassemblerElf<Traits>::ParseSections(std::uint64_t* offset_bound) {
  const std::uint64_t size = image_.size();
  judgements_.assign(sections_.size(), kSectionIsMalformed);
  std::vector<RvaOffsetMap::Unit> units;
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    const Shdr& section = sections_[i];
    const std::uint64_t address = section.sh_addr;
    const std::uint64_t section_size = section.sh_size;
    const std::uint64_t offset = section.sh_offset;
    if (address > kSectionAddressBound || section_size > kSectionAddressBound - address) return false;
    // Sections without file bytes may claim any offset that leaves their size addressable.
    const bool no_bits = section.sh_type == SHT_NOBITS;
    const std::uint64_t limit = no_bits ? kSectionAddressBound : size;
    if (offset > limit || section_size > limit - offset) return false;

    std::uint32_t judgement = kSectionIsSane;
    if (address != 0 && section_size != 0) {
      if (!no_bits) {
        judgement |= kSectionIsTranslatable | kSectionIsBounding | kSectionIsPointerBearing;
      } else if ((section.sh_flags & SHF_TLS) == 0) {
        // Thread-local .tbss shares its addresses with the sections after it: no unit.
        judgement |= kSectionIsTranslatable;
      }
    }
    judgements_[i] = judgement;
    if (judgement & kSectionIsTranslatable) {
      units.push_back({static_cast<offset_t>(offset), static_cast<offset_t>(section_size), static_cast<rva_t>(address),
                       static_cast<rva_t>(section_size)});
    }
    if (judgement & kSectionIsBounding) *offset_bound = std::max(*offset_bound, offset + section_size);
  }
  return map_.Initialize(std::move(units)) == RvaOffsetMap::kSuccess;
}

template <class Traits>
void DisassemblerElf<Traits>::ExtractInterestingSections() {
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    if ((judgements_[i] & kSectionIsPointerBearing) == 0) continue;
    const Shdr& section = sections_[i];
    // Pointer-bearing sections are bounding, so they lie inside the shrunk image.
    const bool rela = section.sh_type == SHT_RELA && section.sh_entsize == Traits::kRelaEntrySize;
    const bool rel = section.sh_type == SHT_REL && section.sh_entsize == Traits::kRelEntrySize;
    if (rela || rel) {
      reloc_sections_.push_back({static_cast<offset_t>(section.sh_offset), static_cast<offset_t>(section.sh_size),
                                 static_cast<offset_t>(section.sh_entsize)});
    } else if (section.sh_type == SHT_PROGBITS && (section.sh_flags & SHF_EXECINSTR) != 0) {
      exec_sections_.push_back(section);
    }
  }
  std::stable_sort(reloc_sections_.begin(), reloc_sections_.end());
  std::stable_sort(exec_sections_.begin(), exec_sections_.end(),
                   [](const Shdr& a, const Shdr& b) { return a.sh_offset < b.sh_offset; });
}

template <class Traits>
void DisassemblerElf<Traits>::GetAbs32FromRelocSections() {
  if (!reloc_sections_.empty()) {
    RelocReaderElf reader(image_, Traits::kVAWidth, reloc_sections_, Traits::kRelativeRelocType, 0, size(), map_);
    while (std::optional<Reference> ref = reader.GetNext()) abs32_locations_.push_back(ref->target);
  }
  std::sort(abs32_locations_.begin(), abs32_locations_.end());
  const AbsoluteAddress addr(Traits::kVAWidth, 0);
  if (std::size_t n = RemoveUntranslatableAbs32(image_, addr, map_, &abs32_locations_); n > 0) {
    LOG(WARNING) << "Removed " << n << " untranslatable abs32 references.";
  }
  if (std::size_t n = RemoveOverlappingAbs32Locations(Traits::kVAWidth, &abs32_locations_); n > 0) {
    LOG(WARNING) << "Removed " << n << " abs32 references with overlapping bodies.";
  }
}

template <class Traits>
std::unique_ptr<ReferenceReader> DisassemblerElf<Traits>::MakeReadRelocs(offset_t lo, offset_t hi) {
  if (reloc_sections_.empty()) return std::make_unique<EmptyReferenceReader>();
  return std::make_unique<RelocReaderElf>(image_, Traits::kVAWidth, reloc_sections_, Traits::kRelativeRelocType, lo, hi,
                                          map_);
}

template <class Traits>
std::unique_ptr<ReferenceWriter> DisassemblerElf<Traits>::MakeWriteRelocs(MutableBufferView image) {
  return std::make_unique<RelocWriterElf>(image, Traits::kVAWidth, map_);
}

template <class Traits>
std::unique_ptr<ReferenceReader> DisassemblerElf<Traits>::MakeReadAbs32(offset_t lo, offset_t hi) {
  return MakeAbs32ReaderWin32(image_, AbsoluteAddress(Traits::kVAWidth, 0), abs32_locations_, lo, hi, map_);
}

template <class Traits>
std::unique_ptr<ReferenceWriter> DisassemblerElf<Traits>::MakeWriteAbs32(MutableBufferView image) {
  return std::make_unique<Abs32WriterWin32>(image, AbsoluteAddress(Traits::kVAWidth, 0), map_);
}

template <class Traits>
std::vector<ReferenceGroup> DisassemblerElfIntel<Traits>::MakeReferenceGroups() const {
  using Base = DisassemblerElf<Traits>;
  constexpr std::uint32_t kWidth = Traits::kVAWidth;
  std::vector<ReferenceGroup> groups;
  groups.emplace_back(ReferenceTypeTraits{kWidth, 0, 0}, &Base::MakeReadRelocs, &Base::MakeWriteRelocs);
  groups.emplace_back(ReferenceTypeTraits{kWidth, 1, 1}, &Base::MakeReadAbs32, &Base::MakeWriteAbs32);
  groups.emplace_back(ReferenceTypeTraits{4, 2, 2}, &DisassemblerElfIntel::MakeReadRel32,
                      &DisassemblerElfIntel::MakeWriteRel32);
  return groups;
}

template <class Traits>
std::unique_ptr<ReferenceReader> DisassemblerElfIntel<Traits>::MakeReadRel32(offset_t lo, offset_t hi) {
  return std::make_unique<Rel32ReaderX86>(this->image_, lo, hi, rel32_locations_, this->map_);
}

template <class Traits>
std::unique_ptr<ReferenceWriter> DisassemblerElfIntel<Traits>::MakeWriteRel32(MutableBufferView image) {
  return std::make_unique<Rel32WriterX86>(image, this->map_);
}

template <class Traits>
void DisassemblerElfIntel<Traits>::ParseExecSection(const Shdr& section) {
  const std::uint64_t start_rva = section.sh_addr;
  const std::uint64_t end_rva = start_rva + section.sh_size;
  if (end_rva > kU32Max) return;  // Parse already keeps sections below 0x7FFF0000
  const OffsetRange region{static_cast<offset_t>(section.sh_offset),
                           static_cast<offset_t>(section.sh_offset + section.sh_size)};
  Abs32GapFinder gaps(this->image_, region, this->abs32_locations_, Traits::kVAWidth);
  typename Traits::Rel32FinderUse finder(this->image_, this->map_);
  const RvaOffsetMap::RvaToOffsetCache target_rva_checker(this->map_);
  while (std::optional<OffsetRange> gap = gaps.FindNext()) {
    finder.SetRegion(*gap);
    while (finder.FindNext()) {
      const Rel32FinderIntel::Result& rel32 = finder.GetRel32();
      if (rel32.target_rva == kInvalidRva || !target_rva_checker.IsValid(rel32.target_rva)) continue;
      if (!rel32.can_point_outside_section && (rel32.target_rva < start_rva || rel32.target_rva >= end_rva)) {
        continue;
      }
      rel32_locations_.push_back(rel32.location);
      finder.Accept();
    }
  }
}

template <class Traits>
void DisassemblerElfIntel<Traits>::PostProcessRel32() {
  // Sections are scanned in file order, so the list is sorted already unless they overlap.
  if (!std::is_sorted(rel32_locations_.begin(), rel32_locations_.end())) {
    std::sort(rel32_locations_.begin(), rel32_locations_.end());
  }
  rel32_locations_.shrink_to_fit();
}

template class DisassemblerElf<Elf32IntelTraits>;
template class DisassemblerElf<Elf64IntelTraits>;
template class DisassemblerElfIntel<Elf32IntelTraits>;
template class DisassemblerElfIntel<Elf64IntelTraits>;

}  // namespace kestor
