#pragma once
// Reading a kestor patch: the whole patch is read and validated before anything is applied,
// and every stream of an element is kept as a view into the patch bytes, which must outlive
// the result. Each source can be copied; a copy walks the stream again from the copied state,
// which is how the applier reads one stream several times from its start.
//
// Every failure writes one ERROR line. A variable-length integer that does not decode writes
// two (the reason, then an empty line) and ends its stream.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "base/logging.h"
#include "components/kestor/buffer_view.h"
#include "components/kestor/image_utils.h"

namespace kestor {

inline constexpr std::uint32_t kPatchMagic = FourCharTag('K', 'e', 's', 't');
inline constexpr std::uint16_t kPatchMajorVersion = 2;

struct PatchHeader {
  std::uint32_t magic;
  std::uint16_t major_version;
  std::uint16_t minor_version;
  std::uint32_t old_size;
  std::uint32_t old_crc;
  std::uint32_t new_size;
  std::uint32_t new_crc;
};
inline constexpr std::size_t kPatchHeaderSize = 24;

// The old range, new range and type of one element.
struct ElementMatch {
  offset_t old_offset;
  offset_t old_length;
  offset_t new_offset;
  offset_t new_length;
  std::uint32_t exe_type;
  std::uint16_t version;
};
inline constexpr std::size_t kElementMatchSize = 22;

// Copy length bytes from old element offset source to new element offset destination.
struct Equivalence {
  offset_t source;
  offset_t destination;
  offset_t length;
  bool operator==(const Equivalence&) const = default;
};

// Add diff (non-zero) to the byte at copy_offset of the concatenated equivalence copies.
struct RawDeltaUnit {
  offset_t copy_offset;
  std::uint8_t diff;
  bool operator==(const RawDeltaUnit&) const = default;
};

// A cursor over patch bytes. Every read tests the remaining size first; a failed read leaves
// the cursor where it was.
class BufferSource {
 public:
  BufferSource() = default;
  explicit BufferSource(ConstBufferView view) : view_(view) {}

  std::size_t Remaining() const { return view_.size(); }
  bool empty() const { return view_.empty(); }
  ConstBufferView view() const { return view_; }

  template <class T>
  bool GetValue(T* value) {
    if (!view_.can_access<T>(0)) return false;
    *value = view_.read<T>(0);
    Skip(sizeof(T));
    return true;
  }
  bool GetRegion(std::size_t size, ConstBufferView* region);
  // VarUInt: 7-bit groups, least significant first, bit 7 = more follows; at most 5 bytes,
  // the fifth with bit 7 clear and only its low 4 bits counting.
  bool GetVarUInt(std::uint32_t* value);
  // VarInt: a VarUInt v read as (v >> 1) ^ -(v & 1).
  bool GetVarInt(std::int32_t* value);

 private:
  void Skip(std::size_t n) { view_ = ConstBufferView(view_.begin() + n, view_.size() - n); }
  ConstBufferView view_;
};

// A sized buffer: u32 byte count, then the bytes.
bool ReadSizedBuffer(BufferSource* source, ConstBufferView* buffer);

// Decoding failures of a stream's integers: two lines, the reason and then an empty one.
inline bool ReadVarUIntFromStream(BufferSource* source, std::uint32_t* value) {
  if (source->GetVarUInt(value)) return true;
  LOG(ERROR) << "Impossible to read VarUInt from source.";
  LOG(ERROR) << "";
  return false;
}

inline bool ReadVarIntFromStream(BufferSource* source, std::int32_t* value) {
  if (source->GetVarInt(value)) return true;
  LOG(ERROR) << "Impossible to read VarInt from source.";
  LOG(ERROR) << "";
  return false;
}

// Source offsets move relative to the end of the previous source range (backwards too),
// destinations only forwards.
class EquivalenceSource {
 public:
  bool Initialize(BufferSource* source);
  std::optional<Equivalence> GetNext();
  // No byte left in any of the three buffers.
  bool Done() const { return src_skip_.empty() && dst_skip_.empty() && copy_count_.empty(); }

 private:
  BufferSource src_skip_;
  BufferSource dst_skip_;
  BufferSource copy_count_;
  std::uint32_t previous_src_end_ = 0;
  bool previous_src_end_valid_ = true;
  std::uint32_t previous_dst_end_ = 0;
};

// Copy offsets strictly increase.
class RawDeltaSource {
 public:
  bool Initialize(BufferSource* source);
  std::optional<RawDeltaUnit> GetNext();
  bool Done() const { return raw_delta_skip_.empty() && raw_delta_diff_.empty(); }

 private:
  BufferSource raw_delta_skip_;
  BufferSource raw_delta_diff_;
  std::uint32_t copy_offset_base_ = 0;
  bool copy_offset_base_valid_ = true;
};

class ReferenceDeltaSource {
 public:
  bool Initialize(BufferSource* source);
  std::optional<std::int32_t> GetNext();
  bool Done() const { return source_.empty(); }

 private:
  BufferSource source_;
};

// The extra targets of one pool; targets strictly increase.
class TargetSource {
 public:
  bool Initialize(BufferSource* source);
  std::optional<offset_t> GetNext();
  bool Done() const { return extra_targets_.empty(); }

 private:
  BufferSource extra_targets_;
  std::uint32_t target_base_ = 0;
  bool target_base_valid_ = true;
};

struct PatchElement {
  ElementMatch match;
  EquivalenceSource equivalences;
  ConstBufferView extra_data;
  RawDeltaSource raw_delta;
  ReferenceDeltaSource reference_delta;
  std::map<std::uint8_t, TargetSource> extra_targets;  // by pool tag
};

struct Patch {
  PatchHeader header;
  std::vector<PatchElement> elements;
};

// The whole patch, validated: every element's ranges lie in the images, the elements tile
// the new image in order, the equivalences lie in their element with the right amount of
// extra data, and no byte is left over. Nothing after the first failure.
std::optional<Patch> ReadPatch(ConstBufferView patch);

}  // namespace kestor
