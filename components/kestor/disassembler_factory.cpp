#include "components/kestor/disassembler_factory.h"

#include "components/kestor/disassembler_elf.h"
#include "components/kestor/disassembler_elf_arm.h"
#include "components/kestor/disassembler_no_op.h"
#include "components/kestor/disassembler_win32.h"

namespace kestor {

std::unique_ptr<Disassembler> MakeDisassemblerForType(ConstBufferView image, std::uint32_t exe_type) {
  std::unique_ptr<Disassembler> disasm;
  switch (exe_type) {
    case kExeTypeNoOp: disasm = std::make_unique<DisassemblerNoOp>(); break;
    case kExeTypeElfX86: disasm = std::make_unique<DisassemblerElfX86>(); break;
    case kExeTypeElfX64: disasm = std::make_unique<DisassemblerElfX64>(); break;
    case kExeTypeElfAArch32: disasm = std::make_unique<DisassemblerElfAArch32>(); break;
    case kExeTypeElfAArch64: disasm = std::make_unique<DisassemblerElfAArch64>(); break;
    case kExeTypeWin32X86: disasm = std::make_unique<DisassemblerWin32X86>(); break;
    case kExeTypeWin32X64: disasm = std::make_unique<DisassemblerWin32X64>(); break;
    default:
      // "XTF " and "DEX " have no disassembler in this system.
      return nullptr;
  }
  if (!disasm->Parse(image)) return nullptr;
  return disasm;
}

}  // namespace kestor
