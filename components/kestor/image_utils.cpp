#include "components/kestor/image_utils.h"

namespace kestor {

std::optional<std::uint16_t> ElementVersionOf(std::uint32_t exe_type) {
  switch (exe_type) {
    case kExeTypeNoOp:
    case kExeTypeElfX86:
    case kExeTypeElfX64:
    case kExeTypeElfAArch32:
    case kExeTypeElfAArch64:
    case kExeTypeWin32X86:
    case kExeTypeWin32X64: return 1;
    case kExeTypeZtf:
    case kExeTypeDex: return 0xFFFF;
    default: return std::nullopt;
  }
}

}  // namespace kestor
