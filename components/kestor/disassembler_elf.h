#pragma once
// Disassemblers of ELF executables and shared objects. DisassemblerElf parses the headers,
// judges every section, builds the image's address translation from the sections, finds the
// relocation and executable sections and the absolute addresses named by relative
// relocations; the subclasses scan the executable sections for relative references.
//
// Every field that comes from the file is tested before it is used: the image is untrusted
// (an old file on disk, or a new image being rebuilt from a patch), and nothing in it may
// reach a check that stops the process. 64-bit fields are compared in 64 bits before they
// are narrowed.
#include <elf.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "components/kestor/disassembler.h"
#include "components/kestor/image_utils.h"
#include "components/kestor/rel32_finder.h"
#include "components/kestor/reloc_elf.h"
#include "components/kestor/rva_offset_map.h"

namespace kestor {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "ELF headers are read in the host's byte order");

struct Elf32Traits {
  static constexpr std::uint8_t kIdentClass = ELFCLASS32;
  // Width of an absolute address, of a relocation's r_offset and of an abs32 body.
  static constexpr std::uint32_t kVAWidth = 4;
  static constexpr offset_t kRelEntrySize = sizeof(Elf32_Rel);
  static constexpr offset_t kRelaEntrySize = sizeof(Elf32_Rela);
  using Ehdr = Elf32_Ehdr;
  using Shdr = Elf32_Shdr;
  using Phdr = Elf32_Phdr;
};

struct Elf64Traits {
  static constexpr std::uint8_t kIdentClass = ELFCLASS64;
  static constexpr std::uint32_t kVAWidth = 8;
  static constexpr offset_t kRelEntrySize = sizeof(Elf64_Rel);
  static constexpr offset_t kRelaEntrySize = sizeof(Elf64_Rela);
  using Ehdr = Elf64_Ehdr;
  using Shdr = Elf64_Shdr;
  using Phdr = Elf64_Phdr;
};

struct Elf32IntelTraits : Elf32Traits {
  static constexpr ExecutableType kExeType = kExeTypeElfX86;
  static constexpr const char kExeTypeString[] = "ELF x86";
  static constexpr std::uint16_t kMachine = EM_386;
  static constexpr std::uint32_t kRelativeRelocType = R_386_RELATIVE;
  using Rel32FinderUse = Rel32FinderX86;
};

struct Elf64IntelTraits : Elf64Traits {
  static constexpr ExecutableType kExeType = kExeTypeElfX64;
  static constexpr const char kExeTypeString[] = "ELF x64";
  static constexpr std::uint16_t kMachine = EM_X86_64;
  static constexpr std::uint32_t kRelativeRelocType = R_X86_64_RELATIVE;
  using Rel32FinderUse = Rel32FinderX64;
};

// What Parse concluded about one section, as bits.
enum SectionJudgement : std::uint32_t {
  kSectionIsMalformed = 0,
  kSectionIsSane = 1,
  kSectionIsTranslatable = 2,    // gives a unit of the address translation
  kSectionIsBounding = 4,        // its bytes extend the image's offset bound
  kSectionIsPointerBearing = 8,  // may hold relocations or code
};

template <class Traits>
class DisassemblerElf : public Disassembler {
 public:
  using Ehdr = typename Traits::Ehdr;
  using Shdr = typename Traits::Shdr;
  using Phdr = typename Traits::Phdr;

  ExecutableType GetExeType() const override { return Traits::kExeType; }
  std::string GetExeTypeString() const override { return Traits::kExeTypeString; }
  // Reads and judges the headers, then scans the executable sections. False for anything
  // that is not a sound ELF file of this class and machine. On success the image is shrunk
  // to the bytes that the headers account for.
  bool Parse(ConstBufferView image) override;

  // Relocation references over [lo, hi): relocation entries of the traits' relative type.
  std::unique_ptr<ReferenceReader> MakeReadRelocs(offset_t lo, offset_t hi);
  std::unique_ptr<ReferenceWriter> MakeWriteRelocs(MutableBufferView image);
  // Absolute addresses stored where the relative relocations point; null when lo or hi falls
  // inside one of their bodies.
  std::unique_ptr<ReferenceReader> MakeReadAbs32(offset_t lo, offset_t hi);
  std::unique_ptr<ReferenceWriter> MakeWriteAbs32(MutableBufferView image);

  const RvaOffsetMap& rva_offset_map() const { return map_; }
  // One SectionJudgement bit set per section, in table order.
  const std::vector<std::uint32_t>& section_judgements() const { return judgements_; }
  // Sorted by offset.
  const std::vector<SectionDimensionsElf>& reloc_sections() const { return reloc_sections_; }
  // Sorted by sh_offset.
  const std::vector<Shdr>& exec_sections() const { return exec_sections_; }
  // Sorted, without untranslatable or overlapping bodies.
  const std::deque<offset_t>& abs32_locations() const { return abs32_locations_; }

 protected:
  DisassemblerElf() = default;

  // The scan of one executable section for relative references; Parse calls it once per
  // executable section, in file order, and then PostProcessRel32 once.
  virtual void ParseExecSection(const Shdr& section) = 0;
  virtual void PostProcessRel32() = 0;

  RvaOffsetMap map_;
  std::vector<Shdr> sections_;
  std::vector<Phdr> segments_;
  std::vector<std::uint32_t> judgements_;
  std::vector<SectionDimensionsElf> reloc_sections_;
  std::vector<Shdr> exec_sections_;
  std::deque<offset_t> abs32_locations_;

 private:
  bool ParseHeader(std::uint64_t* offset_bound);
  bool ParseSections(std::uint64_t* offset_bound);
  void ExtractInterestingSections();
  void GetAbs32FromRelocSections();
};

// ELF x86 ("Ex86") and x86-64 ("Ex64"): relocations, abs32 and rel32 references.
template <class Traits>
class DisassemblerElfIntel : public DisassemblerElf<Traits> {
 public:
  using Shdr = typename Traits::Shdr;

  DisassemblerElfIntel() = default;

  std::vector<ReferenceGroup> MakeReferenceGroups() const override;

  std::unique_ptr<ReferenceReader> MakeReadRel32(offset_t lo, offset_t hi);
  std::unique_ptr<ReferenceWriter> MakeWriteRel32(MutableBufferView image);

  // Offsets of the accepted rel32 displacements, sorted.
  const std::deque<offset_t>& rel32_locations() const { return rel32_locations_; }

 protected:
  void ParseExecSection(const Shdr& section) override;
  void PostProcessRel32() override;

 private:
  std::deque<offset_t> rel32_locations_;
};

using DisassemblerElfX86 = DisassemblerElfIntel<Elf32IntelTraits>;
using DisassemblerElfX64 = DisassemblerElfIntel<Elf64IntelTraits>;

// Whether the bytes [offset, offset + size) of an AArch32 code section at `address` hold
// Thumb-2 rather than ARM code: a section whose address or size is not a multiple of 4 does;
// otherwise one where fewer than 40% of the little-endian words carry the condition AL (top
// four bits 0b1110), which nearly every ARM instruction does. The share is logged. The bytes
// lie inside the image.
bool IsElfArmSectionThumb2(ConstBufferView image, std::uint64_t address, std::uint64_t offset, std::uint64_t size);

extern template class DisassemblerElf<Elf32IntelTraits>;
extern template class DisassemblerElf<Elf64IntelTraits>;
extern template class DisassemblerElfIntel<Elf32IntelTraits>;
extern template class DisassemblerElfIntel<Elf64IntelTraits>;

}  // namespace kestor
