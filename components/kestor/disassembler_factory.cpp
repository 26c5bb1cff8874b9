#include "components/kestor/disassembler_factory.h"

#include "components/kestor/disassembler_elf.h"
#include "components/kestor/disassembler_no_op.h"

namespace kestor {

std::unique_ptr<Disassembler> MakeDisassemblerForType(ConstBufferView image, std::uint32_t exe_type) {
  std::unique_ptr<Disassembler> disasm;
  switch (exe_type) {
    case kExeTypeNoOp:
      disasm = std::make_unique<DisassemblerNoOp>();
      break;
    case kExeTypeElfX86:
      disasm = std::make_unique<DisassemblerElfX86>();
      break;
    case kExeTypeElfX64:
      disasm = std::make_unique<DisassemblerElfX64>();
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
