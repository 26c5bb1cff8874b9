#include "components/kestor/patch_reader.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "base/logging.h"

namespace kestor {
namespace {

constexpr std::uint64_t kU32Range = std::uint64_t{1} << 32;

// The smallest element: its match, seven empty sized buffers and a pool count of 0.
constexpr std::size_t kMinElementSize = kElementMatchSize + 7 * 4 + 4;

bool ReadHeader(BufferSource* source, PatchHeader* header) {
  return source->GetValue(&header->magic) && source->GetValue(&header->major_version) &&
         source->GetValue(&header->minor_version) && source->GetValue(&header->old_size) &&
         source->GetValue(&header->old_crc) && source->GetValue(&header->new_size) &&
         source->GetValue(&header->new_crc);
}

bool ReadElementMatch(BufferSource* source, ElementMatch* match) {
  return source->GetValue(&match->old_offset) && source->GetValue(&match->old_length) &&
         source->GetValue(&match->new_offset) && source->GetValue(&match->new_length) &&
         source->GetValue(&match->exe_type) && source->GetValue(&match->version);
}

// Reads one element's streams and checks them against its own ranges; false after its line.
bool ReadElement(BufferSource* source, PatchElement* element) {
  if (source->Remaining() < kElementMatchSize) {
    LOG(ERROR) << "Impossible to read ElementMatch from source.";
    return false;
  }
  ElementMatch& match = element->match;
  ReadElementMatch(source, &match);
  std::optional<std::uint16_t> expected_version = ElementVersionOf(match.exe_type);
  if (!expected_version) {
    LOG(ERROR) << "Invalid ExecutableType found.";
    return false;
  }
  if (match.version != *expected_version) {
    LOG(ERROR) << "Element version doesn't match. Expected: " << *expected_version << ", Actual: " << match.version
               << ".";
    return false;
  }
  if (match.old_length == 0 || match.new_length == 0) {
    LOG(ERROR) << "Empty patch element found.";
    return false;
  }

  if (!element->equivalences.Initialize(source) || !ReadSizedBuffer(source, &element->extra_data)) return false;

  EquivalenceSource equivalences = element->equivalences;
  std::uint64_t copied = 0;
  while (std::optional<Equivalence> eq = equivalences.GetNext()) {
    if (eq->source >= match.old_length || match.old_length - eq->source < eq->length ||
        eq->destination >= match.new_length || match.new_length - eq->destination < eq->length) {
      LOG(ERROR) << "Out of bounds equivalence detected.";
      return false;
    }
    copied += eq->length;
  }
  if (element->extra_data.size() != match.new_length - copied) {
    LOG(ERROR) << "Incorrect amount of extra_data.";
    return false;
  }

  if (!element->raw_delta.Initialize(source) || !element->reference_delta.Initialize(source)) return false;

  std::uint32_t pool_count = 0;
  if (!source->GetValue(&pool_count)) {
    LOG(ERROR) << "Impossible to read pool_count from source.";
    return false;
  }
  for (std::uint32_t i = 0; i < pool_count; ++i) {
    std::uint8_t pool_tag = 0;
    if (!source->GetValue(&pool_tag)) {
      LOG(ERROR) << "Impossible to read pool_tag from source.";
      return false;
    }
    if (pool_tag == 0xFF) {
      LOG(ERROR) << "Invalid pool_tag encountered in ExtraTargetList.";
      return false;
    }
    auto [it, inserted] = element->extra_targets.try_emplace(pool_tag);
    if (!inserted) {
      LOG(ERROR) << "Multiple ExtraTargetList found for the same pool_tag.";
      return false;
    }
    if (!it->second.Initialize(source)) return false;
  }
  return true;
}

}  // namespace

bool BufferSource::GetRegion(std::size_t size, ConstBufferView* region) {
  if (view_.size() < size) return false;
  *region = ConstBufferView(view_.begin(), size);
  Skip(size);
  return true;
}

bool BufferSource::GetVarUInt(std::uint32_t* value) {
  std::uint32_t result = 0;
  for (std::size_t i = 0; i < 5; ++i) {
    if (i >= view_.size()) return false;
    const std::uint8_t byte = view_.begin()[i];
    if (i == 4) {
      if (byte & 0x80) return false;
      result |= static_cast<std::uint32_t>(byte & 0x0F) << 28;
      *value = result;
      Skip(5);
      return true;
    }
    result |= static_cast<std::uint32_t>(byte & 0x7F) << (7 * i);
    if (!(byte & 0x80)) {
      *value = result;
      Skip(i + 1);
      return true;
    }
  }
  return false;
}

bool BufferSource::GetVarInt(std::int32_t* value) {
  std::uint32_t v = 0;
  if (!GetVarUInt(&v)) return false;
  *value = static_cast<std::int32_t>((v >> 1) ^ (0u - (v & 1)));
  return true;
}

bool ReadSizedBuffer(BufferSource* source, ConstBufferView* buffer) {
  std::uint32_t size = 0;
  if (!source->GetValue(&size)) {
    LOG(ERROR) << "Impossible to read buffer size from source.";
    return false;
  }
  if (!source->GetRegion(size, buffer)) {
    LOG(ERROR) << "Impossible to read buffer content from source.";
    return false;
  }
  return true;
}

namespace {

bool ReadSizedSource(BufferSource* source, BufferSource* stream) {
  ConstBufferView buffer;
  if (!ReadSizedBuffer(source, &buffer)) return false;
  *stream = BufferSource(buffer);
  return true;
}

}  // namespace

bool EquivalenceSource::Initialize(BufferSource* source) {
  return ReadSizedSource(source, &src_skip_) && ReadSizedSource(source, &dst_skip_) &&
         ReadSizedSource(source, &copy_count_);
}

std::optional<Equivalence> EquivalenceSource::GetNext() {
  if (src_skip_.empty() || dst_skip_.empty() || copy_count_.empty()) return std::nullopt;
  std::uint32_t length = 0;
  if (!ReadVarUIntFromStream(&copy_count_, &length)) return std::nullopt;
  std::int32_t delta = 0;
  if (!ReadVarIntFromStream(&src_skip_, &delta)) return std::nullopt;
  if (!previous_src_end_valid_) return std::nullopt;
  const std::int64_t source = static_cast<std::int64_t>(previous_src_end_) + delta;
  if (source < 0 || source >= static_cast<std::int64_t>(kU32Range)) return std::nullopt;
  const std::uint64_t source_end = static_cast<std::uint64_t>(source) + length;
  if (source_end >= kU32Range) {
    previous_src_end_valid_ = false;
    return std::nullopt;
  }
  previous_src_end_ = static_cast<std::uint32_t>(source_end);
  std::uint32_t skip = 0;
  if (!ReadVarUIntFromStream(&dst_skip_, &skip)) return std::nullopt;
  const std::uint64_t destination = std::uint64_t{previous_dst_end_} + skip;
  if (destination >= kU32Range) return std::nullopt;
  previous_dst_end_ = static_cast<std::uint32_t>(destination) + length;
  return Equivalence{static_cast<offset_t>(source), static_cast<offset_t>(destination), length};
}

bool RawDeltaSource::Initialize(BufferSource* source) {
  return ReadSizedSource(source, &raw_delta_skip_) && ReadSizedSource(source, &raw_delta_diff_);
}

std::optional<RawDeltaUnit> RawDeltaSource::GetNext() {
  if (raw_delta_skip_.empty() || raw_delta_diff_.empty()) return std::nullopt;
  std::uint32_t skip = 0;
  if (!ReadVarUIntFromStream(&raw_delta_skip_, &skip)) return std::nullopt;
  if (!copy_offset_base_valid_) return std::nullopt;
  const std::uint64_t copy_offset = std::uint64_t{copy_offset_base_} + skip;
  if (copy_offset >= kU32Range) return std::nullopt;
  std::uint8_t diff = 0;
  if (!raw_delta_diff_.GetValue(&diff)) return std::nullopt;
  if (diff == 0) return std::nullopt;
  if (copy_offset + 1 >= kU32Range) {
    copy_offset_base_valid_ = false;
  } else {
    copy_offset_base_ = static_cast<std::uint32_t>(copy_offset + 1);
  }
  return RawDeltaUnit{static_cast<offset_t>(copy_offset), diff};
}

bool ReferenceDeltaSource::Initialize(BufferSource* source) { return ReadSizedSource(source, &source_); }

std::optional<std::int32_t> ReferenceDeltaSource::GetNext() {
  if (source_.empty()) return std::nullopt;
  std::int32_t delta = 0;
  if (!ReadVarIntFromStream(&source_, &delta)) return std::nullopt;
  return delta;
}

bool TargetSource::Initialize(BufferSource* source) { return ReadSizedSource(source, &extra_targets_); }

std::optional<offset_t> TargetSource::GetNext() {
  if (extra_targets_.empty()) return std::nullopt;
  std::uint32_t skip = 0;
  if (!ReadVarUIntFromStream(&extra_targets_, &skip)) return std::nullopt;
  if (!target_base_valid_) return std::nullopt;
  const std::uint64_t target = std::uint64_t{target_base_} + skip;
  if (target >= kU32Range) return std::nullopt;
  if (target + 1 >= kU32Range) {
    // The next base would not fit: the stream ends here without this target.
    target_base_valid_ = false;
    return std::nullopt;
  }
  target_base_ = static_cast<std::uint32_t>(target + 1);
  return static_cast<offset_t>(target);
}

std::optional<Patch> ReadPatch(ConstBufferView patch_bytes) {
  BufferSource source(patch_bytes);
  Patch patch;
  if (source.Remaining() < kPatchHeaderSize) {
    LOG(ERROR) << "Impossible to read header from source.";
    return std::nullopt;
  }
  ReadHeader(&source, &patch.header);
  if (patch.header.magic != kPatchMagic) {
    LOG(ERROR) << "Patch contains invalid magic.";
    return std::nullopt;
  }
  if (patch.header.major_version != kPatchMajorVersion) {
    LOG(ERROR) << "Patch major version doesn't match. Expected: " << kPatchMajorVersion
               << ", Actual: " << patch.header.major_version << ".";
    return std::nullopt;
  }
  std::uint32_t element_count = 0;
  if (!source.GetValue(&element_count)) {
    LOG(ERROR) << "Impossible to read element_count from source.";
    return std::nullopt;
  }
  // The count comes from the patch: reserve no more than the remaining bytes can hold.
  patch.elements.reserve(std::min<std::size_t>(element_count, source.Remaining() / kMinElementSize));

  std::uint64_t new_end = 0;
  for (std::uint32_t i = 0; i < element_count; ++i) {
    PatchElement element;
    if (!ReadElement(&source, &element)) return std::nullopt;
    const ElementMatch& match = element.match;
    if (match.old_offset > patch.header.old_size || patch.header.old_size - match.old_offset < match.old_length ||
        match.new_offset > patch.header.new_size || patch.header.new_size - match.new_offset < match.new_length) {
      LOG(ERROR) << "Invalid element encountered.";
      return std::nullopt;
    }
    if (match.new_offset != new_end) {
      LOG(ERROR) << "Invalid element encountered.";
      return std::nullopt;
    }
    new_end = std::uint64_t{match.new_offset} + match.new_length;
    patch.elements.push_back(std::move(element));
  }
  if (new_end != patch.header.new_size) {
    LOG(ERROR) << "Patch elements don't fully cover new image file.";
    return std::nullopt;
  }
  if (!source.empty()) {
    LOG(ERROR) << "Patch was not fully consumed.";
    return std::nullopt;
  }
  return patch;
}

}  // namespace kestor
