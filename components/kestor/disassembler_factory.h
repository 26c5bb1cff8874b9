#pragma once
#include <memory>

#include "components/kestor/buffer_view.h"
#include "components/kestor/disassembler.h"

namespace kestor {

// The disassembler of the type, having parsed image; null for a type without a disassembler
// or an image that does not parse as that type.
std::unique_ptr<Disassembler> MakeDisassemblerForType(ConstBufferView image, std::uint32_t exe_type);

}  // namespace kestor
