#include "components/kestor/disassembler.h"

namespace kestor {

std::unique_ptr<ReferenceReader> ReferenceGroup::GetReader(offset_t lo, offset_t hi, Disassembler& disasm) const {
  return (disasm.*reader_factory_)(lo, hi);
}

std::unique_ptr<ReferenceWriter> ReferenceGroup::GetWriter(MutableBufferView image, Disassembler& disasm) const {
  return (disasm.*writer_factory_)(image);
}

std::unique_ptr<ReferenceMixer> ReferenceGroup::GetMixer(ConstBufferView old_image, ConstBufferView new_image,
                                                         Disassembler& disasm) const {
  if (mixer_factory_ == nullptr) return nullptr;
  return (disasm.*mixer_factory_)(old_image, new_image);
}

}  // namespace kestor
