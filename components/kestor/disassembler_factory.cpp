#include "components/kestor/disassembler_factory.h"

#include "components/kestor/disassembler_no_op.h"

namespace kestor {

std::unique_ptr<Disassembler> MakeDisassemblerForType(ConstBufferView image, std::uint32_t exe_type) {
  std::unique_ptr<Disassembler> disasm;
  switch (exe_type) {
    case kExeTypeNoOp:
      disasm = std::make_unique<DisassemblerNoOp>();
      break;
    default:
      // The executable formats join here as their disassemblers land; "XTF " and "DEX " have
      // none in this system.
      return nullptr;
  }
  if (!disasm->Parse(image)) return nullptr;
  return disasm;
}

}  // namespace kestor
