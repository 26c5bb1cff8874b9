#pragma once
// A disassembler parses one image and hands out its kinds of references as ReferenceGroups.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "components/kestor/buffer_view.h"
#include "components/kestor/image_utils.h"

namespace kestor {

class Disassembler;

// One kind of reference of a disassembler: its traits and the disassembler's factories of
// readers, writers and (for some kinds) mixers. A group is only used with the disassembler
// that made it.
//
// A reader factory returns null when [lo, hi) starts or ends inside the body of one of its
// references, which only a damaged patch asks for; callers treat that as a damaged element.
class ReferenceGroup {
 public:
  using ReaderFactory = std::unique_ptr<ReferenceReader> (Disassembler::*)(offset_t lo, offset_t hi);
  using WriterFactory = std::unique_ptr<ReferenceWriter> (Disassembler::*)(MutableBufferView image);
  using MixerFactory = std::unique_ptr<ReferenceMixer> (Disassembler::*)(ConstBufferView old_image,
                                                                         ConstBufferView new_image);

  // Factories are member functions of a class derived from Disassembler.
  template <class Dis>
  ReferenceGroup(ReferenceTypeTraits traits, std::unique_ptr<ReferenceReader> (Dis::*reader)(offset_t, offset_t),
                 std::unique_ptr<ReferenceWriter> (Dis::*writer)(MutableBufferView),
                 std::unique_ptr<ReferenceMixer> (Dis::*mixer)(ConstBufferView, ConstBufferView) = nullptr)
      : traits_(traits),
        reader_factory_(static_cast<ReaderFactory>(reader)),
        writer_factory_(static_cast<WriterFactory>(writer)),
        mixer_factory_(static_cast<MixerFactory>(mixer)) {}

  const ReferenceTypeTraits& traits() const { return traits_; }
  offset_t width() const { return traits_.width; }
  std::uint8_t type_tag() const { return traits_.type_tag; }
  std::uint8_t pool_tag() const { return traits_.pool_tag; }

  std::unique_ptr<ReferenceReader> GetReader(offset_t lo, offset_t hi, Disassembler& disasm) const;
  std::unique_ptr<ReferenceWriter> GetWriter(MutableBufferView image, Disassembler& disasm) const;
  // Null for kinds without a mixer.
  std::unique_ptr<ReferenceMixer> GetMixer(ConstBufferView old_image, ConstBufferView new_image,
                                           Disassembler& disasm) const;

 private:
  ReferenceTypeTraits traits_;
  ReaderFactory reader_factory_;
  WriterFactory writer_factory_;
  MixerFactory mixer_factory_;
};

class Disassembler {
 public:
  Disassembler() = default;
  Disassembler(const Disassembler&) = delete;
  Disassembler& operator=(const Disassembler&) = delete;
  virtual ~Disassembler() = default;

  virtual ExecutableType GetExeType() const = 0;
  virtual std::string GetExeTypeString() const = 0;
  // The groups ordered by type tag 0, 1, 2, ...
  virtual std::vector<ReferenceGroup> MakeReferenceGroups() const = 0;
  // Called once, right after construction. May shrink the image to the part it understands.
  virtual bool Parse(ConstBufferView image) = 0;

  ConstBufferView image() const { return image_; }
  offset_t size() const { return static_cast<offset_t>(image_.size()); }

 protected:
  ConstBufferView image_;
};

}  // namespace kestor
