#pragma once
// The vocabulary of images shared by the patch reader, the applier and the disassemblers:
// offsets, executable types, references and the reference reader/writer/mixer interfaces.
#include <cstdint>
#include <optional>

#include "components/kestor/buffer_view.h"

namespace kestor {

// Offsets and sizes inside an image. Images are smaller than 4 GiB.
using offset_t = std::uint32_t;
// Relative virtual addresses.
using rva_t = std::uint32_t;

inline constexpr offset_t kInvalidOffset = 0xFFFFFFFE;
inline constexpr rva_t kInvalidRva = 0xFFFFFFFE;
// Offsets and RVAs stay below this bound, which leaves room for fake offsets.
inline constexpr offset_t kOffsetBound = 0x7FFFFFFF;

// A four-character tag stored as the u32 whose little-endian bytes are the characters.
constexpr std::uint32_t FourCharTag(char a, char b, char c, char d) {
  return static_cast<std::uint32_t>(static_cast<std::uint8_t>(a)) |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(b)) << 8 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(c)) << 16 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(d)) << 24;
}

enum ExecutableType : std::uint32_t {
  kExeTypeNoOp = FourCharTag('N', 'o', 'O', 'p'),
  kExeTypeElfX86 = FourCharTag('E', 'x', '8', '6'),
  kExeTypeElfX64 = FourCharTag('E', 'x', '6', '4'),
  kExeTypeElfAArch32 = FourCharTag('E', 'A', '3', '2'),
  kExeTypeElfAArch64 = FourCharTag('E', 'A', '6', '4'),
  kExeTypeWin32X86 = FourCharTag('P', 'x', '8', '6'),
  kExeTypeWin32X64 = FourCharTag('P', 'x', '6', '4'),
  kExeTypeZtf = FourCharTag('X', 'T', 'F', ' '),
  kExeTypeDex = FourCharTag('D', 'E', 'X', ' '),
};

// The one element version a patch may carry for the type; nothing for an unknown type.
std::optional<std::uint16_t> ElementVersionOf(std::uint32_t exe_type);

// A reference: the body at `location` points at `target`. A target may lie beyond the image's
// end when it addresses memory without file bytes (a fake offset).
struct Reference {
  offset_t location;
  offset_t target;
  bool operator==(const Reference&) const = default;
};

struct ReferenceTypeTraits {
  offset_t width;         // bytes of a reference body
  std::uint8_t type_tag;  // index of the group in its disassembler's list
  std::uint8_t pool_tag;  // the target pool shared with other groups
};

class ReferenceReader {
 public:
  virtual ~ReferenceReader() = default;
  // The next reference in location order, or nothing once exhausted.
  virtual std::optional<Reference> GetNext() = 0;
};

class ReferenceWriter {
 public:
  virtual ~ReferenceWriter() = default;
  // Writes one reference into the image; a reference that cannot be encoded is skipped.
  virtual void PutNext(Reference reference) = 0;
};

class ReferenceMixer {
 public:
  virtual ~ReferenceMixer() = default;
  // The bytes at new_location of the new image with the old reference's payload mixed in.
  virtual ConstBufferView Mix(offset_t old_location, offset_t new_location) = 0;
};

// A reader for a kind without locations.
class EmptyReferenceReader : public ReferenceReader {
 public:
  std::optional<Reference> GetNext() override { return std::nullopt; }
};

// A writer for a kind whose references cannot be placed in an image.
class EmptyReferenceWriter : public ReferenceWriter {
 public:
  void PutNext(Reference) override {}
};

}  // namespace kestor
