#pragma once
// Kestor patches written in C++ for fuzz targets and benchmarks, which run without python:
// the byte layout of the patch format (little-endian integers, 7-bit variable-length
// integers, sized buffers), and the identity patch of an image a disassembler has parsed.
// Tests use the independent python writer (tests/support/kestor_patch.py) instead.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "components/kestor/disassembler.h"

namespace kestor_support {

using Bytes = std::vector<std::uint8_t>;

class PatchWriter {
 public:
  void U16(std::uint32_t v) { Raw(v, 2); }
  void U32(std::uint32_t v) { Raw(v, 4); }
  void Append(const std::uint8_t* data, std::size_t size) { out_.insert(out_.end(), data, data + size); }
  void Sized(const Bytes& b) {
    U32(static_cast<std::uint32_t>(b.size()));
    Append(b.data(), b.size());
  }
  // The header, an element count of 1 and the element's match: [0, old_size) of the old
  // image to [0, new_size) of the new, of `type`, version 1. Its streams follow.
  void BeginOneElement(std::uint32_t old_size, std::uint32_t old_crc, std::uint32_t new_size, std::uint32_t new_crc,
                       std::uint32_t type) {
    Append(reinterpret_cast<const std::uint8_t*>("Kest"), 4);
    U16(2);
    U16(0);
    for (std::uint32_t v : {old_size, old_crc, new_size, new_crc, 1u, 0u, old_size, 0u, new_size, type}) U32(v);
    U16(1);
  }
  static void VarUInt(Bytes* b, std::uint32_t v) {
    for (; v >= 0x80; v >>= 7) b->push_back(static_cast<std::uint8_t>(v | 0x80));
    b->push_back(static_cast<std::uint8_t>(v));
  }
  const Bytes& bytes() const { return out_; }

 private:
  void Raw(std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  Bytes out_;
};

// A patch that rebuilds the image `dis` parsed from itself: one element of its type, one copy
// of the whole image, a zero delta for every reference its readers yield (pool by pool, as
// the applier reads them), and the targets beyond the image as extra targets, since no copy
// carries them. Both CRCs are `crc`.
inline Bytes IdentityPatch(kestor::Disassembler& dis, std::uint32_t crc) {
  const std::uint32_t size = dis.size();
  const std::vector<kestor::ReferenceGroup> groups = dis.MakeReferenceGroups();
  std::map<std::uint8_t, std::vector<const kestor::ReferenceGroup*>> pools;
  for (const kestor::ReferenceGroup& group : groups) pools[group.pool_tag()].push_back(&group);
  Bytes deltas;
  std::map<std::uint8_t, std::vector<std::uint32_t>> beyond;
  for (const auto& [tag, pool] : pools) {
    for (const kestor::ReferenceGroup* group : pool) {
      std::unique_ptr<kestor::ReferenceReader> reader = group->GetReader(0, size, dis);
      while (std::optional<kestor::Reference> ref = reader->GetNext()) {
        PatchWriter::VarUInt(&deltas, 0);
        if (ref->target >= size) beyond[tag].push_back(ref->target);
      }
    }
  }
  PatchWriter p;
  p.BeginOneElement(size, crc, size, crc, dis.GetExeType());
  Bytes src, dst, count;
  PatchWriter::VarUInt(&src, 0);
  PatchWriter::VarUInt(&dst, 0);
  PatchWriter::VarUInt(&count, size);
  for (const Bytes* b : {&src, &dst, &count}) p.Sized(*b);
  for (int i = 0; i < 3; ++i) p.Sized({});  // extra data, raw-delta skips and diffs
  p.Sized(deltas);
  p.U32(static_cast<std::uint32_t>(beyond.size()));
  for (auto& [tag, targets] : beyond) {
    std::sort(targets.begin(), targets.end());
    targets.erase(std::unique(targets.begin(), targets.end()), targets.end());
    Bytes encoded;
    std::uint32_t base = 0;
    for (std::uint32_t t : targets) {
      PatchWriter::VarUInt(&encoded, t - base);
      base = t + 1;
    }
    p.Append(&tag, 1);
    p.Sized(encoded);
  }
  return p.bytes();
}

}  // namespace kestor_support
