#include "components/kestor/disassembler_elf_arm.h"

#include <algorithm>

namespace kestor {

template <class Traits>
void DisassemblerElfArm<Traits>::ParseExecSection(const Shdr& section) {
  // Parse keeps executable sections inside the image and below 0x7FFF0000.
  const OffsetRange region{static_cast<offset_t>(section.sh_offset),
                           static_cast<offset_t>(section.sh_offset + section.sh_size)};
  Abs32GapFinder gaps(this->image_, region, this->abs32_locations_, Traits::kVAWidth);
  const std::unique_ptr<Rel32FinderArm<AddrType>> finder = MakeRel32Finder(section);
  const RvaOffsetMap::RvaToOffsetCache target_rva_to_offset(this->map_);
  const std::vector<Shdr>& exec_sections = this->exec_sections_;
  while (std::optional<OffsetRange> gap = gaps.FindNext()) {
    finder->SetRegion(*gap);
    while (finder->FindNext()) {
      const typename Rel32FinderArm<AddrType>::Result& rel32 = finder->GetRel32();
      if (!target_rva_to_offset.IsValid(rel32.target_rva)) continue;
      const offset_t target = target_rva_to_offset.Convert(rel32.target_rva);
      if (target == kInvalidOffset) continue;
      // The target must lie in an executable section, this one or another.
      auto after = std::upper_bound(exec_sections.begin(), exec_sections.end(), target,
                                    [](offset_t value, const Shdr& s) { return value < s.sh_offset; });
      if (after == exec_sections.begin()) continue;
      const Shdr& holder = *(after - 1);
      if (target >= holder.sh_offset + holder.sh_size) continue;
      rel32_locations_table_[rel32.type].push_back(rel32.location);
      finder->Accept();
    }
  }
}

template <class Traits>
void DisassemblerElfArm<Traits>::PostProcessRel32() {
  for (std::deque<offset_t>& locations : rel32_locations_table_) {
    std::sort(locations.begin(), locations.end());
    locations.shrink_to_fit();
  }
}

std::vector<ReferenceGroup> DisassemblerElfAArch32::MakeReferenceGroups() const {
  using Base = DisassemblerElf<ElfAArch32Traits>;
  using Self = DisassemblerElfAArch32;
  using T = AArch32Rel32Translator;
  std::vector<ReferenceGroup> groups;
  groups.emplace_back(ReferenceTypeTraits{4, 0, 0}, &Base::MakeReadRelocs, &Base::MakeWriteRelocs);
  groups.emplace_back(ReferenceTypeTraits{4, 1, 1}, &Base::MakeReadAbs32, &Base::MakeWriteAbs32);
  groups.emplace_back(ReferenceTypeTraits{4, 2, 2}, &Self::MakeReadRel32<T::AddrTraits_A24>,
                      &Self::MakeWriteRel32<T::AddrTraits_A24>, &Self::MakeMixRel32<T::AddrTraits_A24>);
  groups.emplace_back(ReferenceTypeTraits{2, 3, 2}, &Self::MakeReadRel32<T::AddrTraits_T8>,
                      &Self::MakeWriteRel32<T::AddrTraits_T8>, &Self::MakeMixRel32<T::AddrTraits_T8>);
  groups.emplace_back(ReferenceTypeTraits{2, 4, 2}, &Self::MakeReadRel32<T::AddrTraits_T11>,
                      &Self::MakeWriteRel32<T::AddrTraits_T11>, &Self::MakeMixRel32<T::AddrTraits_T11>);
  groups.emplace_back(ReferenceTypeTraits{4, 5, 2}, &Self::MakeReadRel32<T::AddrTraits_T20>,
                      &Self::MakeWriteRel32<T::AddrTraits_T20>, &Self::MakeMixRel32<T::AddrTraits_T20>);
  groups.emplace_back(ReferenceTypeTraits{4, 6, 2}, &Self::MakeReadRel32<T::AddrTraits_T24>,
                      &Self::MakeWriteRel32<T::AddrTraits_T24>, &Self::MakeMixRel32<T::AddrTraits_T24>);
  return groups;
}

std::unique_ptr<Rel32FinderArm<DisassemblerElfAArch32::AddrType>> DisassemblerElfAArch32::MakeRel32Finder(
    const Shdr& section) {
  const bool is_thumb2 = IsElfArmSectionThumb2(image_, section.sh_addr, section.sh_offset, section.sh_size);
  return std::make_unique<Rel32FinderAArch32>(image_, map_, is_thumb2);
}

std::vector<ReferenceGroup> DisassemblerElfAArch64::MakeReferenceGroups() const {
  using Base = DisassemblerElf<ElfAArch64Traits>;
  using Self = DisassemblerElfAArch64;
  using T = AArch64Rel32Translator;
  std::vector<ReferenceGroup> groups;
  groups.emplace_back(ReferenceTypeTraits{8, 0, 0}, &Base::MakeReadRelocs, &Base::MakeWriteRelocs);
  groups.emplace_back(ReferenceTypeTraits{8, 1, 1}, &Base::MakeReadAbs32, &Base::MakeWriteAbs32);
  groups.emplace_back(ReferenceTypeTraits{4, 2, 2}, &Self::MakeReadRel32<T::AddrTraits_Immd14>,
                      &Self::MakeWriteRel32<T::AddrTraits_Immd14>, &Self::MakeMixRel32<T::AddrTraits_Immd14>);
  groups.emplace_back(ReferenceTypeTraits{4, 3, 2}, &Self::MakeReadRel32<T::AddrTraits_Immd19>,
                      &Self::MakeWriteRel32<T::AddrTraits_Immd19>, &Self::MakeMixRel32<T::AddrTraits_Immd19>);
  groups.emplace_back(ReferenceTypeTraits{4, 4, 2}, &Self::MakeReadRel32<T::AddrTraits_Immd26>,
                      &Self::MakeWriteRel32<T::AddrTraits_Immd26>, &Self::MakeMixRel32<T::AddrTraits_Immd26>);
  return groups;
}

std::unique_ptr<Rel32FinderArm<DisassemblerElfAArch64::AddrType>> DisassemblerElfAArch64::MakeRel32Finder(const Shdr&) {
  return std::make_unique<Rel32FinderAArch64>(image_, map_);
}

template class DisassemblerElfArm<ElfAArch32Traits>;
template class DisassemblerElfArm<ElfAArch64Traits>;

}  // namespace kestor
