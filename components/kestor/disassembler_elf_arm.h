#pragma once
// Disassemblers of ELF executables and shared objects for 32-bit ARM ("EA32", ARM and Thumb-2
// code) and AArch64 ("EA64"). The ELF parse, the relocations and the absolute addresses are
// those of DisassemblerElf; what is particular to ARM is the branch scan: every executable
// section is scanned with an ARM finder (for AArch32 after deciding whether the section holds
// ARM or Thumb-2 code), and each address type of branch gets its own location list and its
// own reference group. All groups of branches share one target pool.
#include <elf.h>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "components/kestor/arm_utils.h"
#include "components/kestor/disassembler_elf.h"
#include "components/kestor/rel32_finder_arm.h"

namespace kestor {

struct ElfAArch32Traits : Elf32Traits {
  static constexpr ExecutableType kExeType = kExeTypeElfAArch32;
  static constexpr const char kExeTypeString[] = "ELF ARM";
  static constexpr std::uint16_t kMachine = EM_ARM;
  static constexpr std::uint32_t kRelativeRelocType = R_ARM_RELATIVE;
  using Translator = AArch32Rel32Translator;
};

struct ElfAArch64Traits : Elf64Traits {
  static constexpr ExecutableType kExeType = kExeTypeElfAArch64;
  static constexpr const char kExeTypeString[] = "ELF ARM64";
  static constexpr std::uint16_t kMachine = EM_AARCH64;
  static constexpr std::uint32_t kRelativeRelocType = R_AARCH64_RELATIVE;
  using Translator = AArch64Rel32Translator;
};

template <class Traits>
class DisassemblerElfArm : public DisassemblerElf<Traits> {
 public:
  using Shdr = typename Traits::Shdr;
  using AddrType = typename Traits::Translator::AddrType;
  static constexpr std::size_t kNumAddrTypes = Traits::Translator::NUM_ADDR_TYPE;

  // The factories of one address type's group.
  template <class ADDR_TRAITS>
  std::unique_ptr<ReferenceReader> MakeReadRel32(offset_t lo, offset_t hi) {
    return std::make_unique<Rel32ReaderArm<ADDR_TRAITS>>(this->image_, this->map_,
                                                         rel32_locations_table_[ADDR_TRAITS::addr_type], lo, hi);
  }
  template <class ADDR_TRAITS>
  std::unique_ptr<ReferenceWriter> MakeWriteRel32(MutableBufferView image) {
    return std::make_unique<Rel32WriterArm<ADDR_TRAITS>>(image, this->map_);
  }
  template <class ADDR_TRAITS>
  std::unique_ptr<ReferenceMixer> MakeMixRel32(ConstBufferView old_image, ConstBufferView new_image) {
    return std::make_unique<Rel32MixerArm<ADDR_TRAITS>>(old_image, new_image);
  }

  // Offsets of the first bytes of the accepted branches of one type, sorted.
  const std::deque<offset_t>& rel32_locations(AddrType type) const { return rel32_locations_table_[type]; }

 protected:
  DisassemblerElfArm() = default;

  void ParseExecSection(const Shdr& section) override;
  void PostProcessRel32() override;
  // The finder for one executable section.
  virtual std::unique_ptr<Rel32FinderArm<AddrType>> MakeRel32Finder(const Shdr& section) = 0;

 private:
  std::array<std::deque<offset_t>, kNumAddrTypes> rel32_locations_table_;
};

// "EA32": relocations, abs32, then A24, T8, T11, T20 and T24 branches.
class DisassemblerElfAArch32 : public DisassemblerElfArm<ElfAArch32Traits> {
 public:
  DisassemblerElfAArch32() = default;
  std::vector<ReferenceGroup> MakeReferenceGroups() const override;

 protected:
  // Thumb-2 unless the section is word-aligned and at least 40% of its words carry the
  // condition AL, as ARM code does.
  std::unique_ptr<Rel32FinderArm<AddrType>> MakeRel32Finder(const Shdr& section) override;
};

// "EA64": relocations, abs32, then Immd14, Immd19 and Immd26 branches.
class DisassemblerElfAArch64 : public DisassemblerElfArm<ElfAArch64Traits> {
 public:
  DisassemblerElfAArch64() = default;
  std::vector<ReferenceGroup> MakeReferenceGroups() const override;

 protected:
  std::unique_ptr<Rel32FinderArm<AddrType>> MakeRel32Finder(const Shdr& section) override;
};

extern template class DisassemblerElf<ElfAArch32Traits>;
extern template class DisassemblerElf<ElfAArch64Traits>;
extern template class DisassemblerElfArm<ElfAArch32Traits>;
extern template class DisassemblerElfArm<ElfAArch64Traits>;

}  // namespace kestor
