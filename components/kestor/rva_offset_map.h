#pragma once
// Translation between file offsets and RVAs of one image, built from units (a section's file
// bytes and its place in memory). The RVA range of a unit may run past its file bytes; such a
// file-less tail has no offsets, and an RVA in it translates to the fake offset F + rva, where F
// is the largest offset end of all units. Fake offsets let references into uninitialised
// memory have targets.
#include <cstdint>
#include <vector>

#include "components/kestor/image_utils.h"

namespace kestor {

class RvaOffsetMap {
 public:
  struct Unit {
    offset_t offset_begin;
    offset_t offset_size;
    rva_t rva_begin;
    rva_t rva_size;

    offset_t offset_end() const { return offset_begin + offset_size; }
    rva_t rva_end() const { return rva_begin + rva_size; }
    bool has_file_less_tail() const { return offset_size < rva_size; }
    bool operator==(const Unit&) const = default;
  };

  enum Status : int {
    kSuccess = 0,
    kErrorBadUnit = 1,                  // a unit out of bounds
    kErrorOverlap = 2,                  // offset ranges overlap, or RVA ranges overlap with different shifts
    kErrorBadOverlap = 3,               // RVA ranges overlap in a way that cannot be merged
    kErrorFakeOffsetBeginTooLarge = 4,  // the whole map is too large
  };

  // Each translation keeps the last unit it hit, so that a walk through one section costs no
  // search. The caches belong to their user; the map is shared read-only.
  class OffsetToRvaCache {
   public:
    explicit OffsetToRvaCache(const RvaOffsetMap& map) : map_(map) {}
    rva_t Convert(offset_t offset) const;

   private:
    const RvaOffsetMap& map_;
    mutable const Unit* cached_ = nullptr;
  };

  class RvaToOffsetCache {
   public:
    explicit RvaToOffsetCache(const RvaOffsetMap& map) : map_(map) {}
    // Whether some unit's RVA range holds rva.
    bool IsValid(rva_t rva) const;
    // The offset (fake in a file-less tail), or kInvalidOffset.
    offset_t Convert(rva_t rva) const;

   private:
    const Unit* Find(rva_t rva) const;
    const RvaOffsetMap& map_;
    mutable const Unit* cached_ = nullptr;
  };

  RvaOffsetMap() = default;
  RvaOffsetMap(const RvaOffsetMap&) = delete;
  RvaOffsetMap& operator=(const RvaOffsetMap&) = delete;

  Status Initialize(std::vector<Unit> units);

  // Through the map's own caches.
  rva_t OffsetToRva(offset_t offset) const { return offset_to_rva_.Convert(offset); }
  offset_t RvaToOffset(rva_t rva) const { return rva_to_offset_.Convert(rva); }

  offset_t fake_offset_begin() const { return fake_offset_begin_; }
  const std::vector<Unit>& units_sorted_by_offset() const { return units_sorted_by_offset_; }
  const std::vector<Unit>& units_sorted_by_rva() const { return units_sorted_by_rva_; }

 private:
  // The unit whose file bytes hold offset, or whose file-less tail holds rva.
  const Unit* OffsetToUnit(offset_t offset) const;
  const Unit* RvaToUnit(rva_t rva) const;

  std::vector<Unit> units_sorted_by_offset_;
  std::vector<Unit> units_sorted_by_rva_;
  offset_t fake_offset_begin_ = 0;
  OffsetToRvaCache offset_to_rva_{*this};
  RvaToOffsetCache rva_to_offset_{*this};
};

}  // namespace kestor
