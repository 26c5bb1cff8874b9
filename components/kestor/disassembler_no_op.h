#pragma once
// The disassembler of raw data: no references at all.
#include <string>
#include <vector>

#include "components/kestor/disassembler.h"

namespace kestor {

class DisassemblerNoOp : public Disassembler {
 public:
  ExecutableType GetExeType() const override { return kExeTypeNoOp; }
  std::string GetExeTypeString() const override { return "(Unknown)"; }
  std::vector<ReferenceGroup> MakeReferenceGroups() const override { return {}; }
  bool Parse(ConstBufferView image) override {
    image_ = image;
    return true;
  }
};

}  // namespace kestor
