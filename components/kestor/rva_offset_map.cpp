#include "components/kestor/rva_offset_map.h"

#include <algorithm>
#include <tuple>

namespace kestor {

RvaOffsetMap::Status RvaOffsetMap::Initialize(std::vector<Unit> units) {
  for (Unit& unit : units) {
    if (unit.offset_begin > kOffsetBound - 1 || unit.offset_size > kOffsetBound - unit.offset_begin ||
        unit.rva_begin > kOffsetBound - 1 || unit.rva_size > kOffsetBound - unit.rva_begin) {
      return kErrorBadUnit;
    }
    unit.offset_size = std::min(unit.offset_size, unit.rva_size);
  }
  std::erase_if(units, [](const Unit& unit) { return unit.rva_size == 0; });
  std::sort(units.begin(), units.end(), [](const Unit& a, const Unit& b) {
    return std::tie(a.rva_begin, a.rva_size) < std::tie(b.rva_begin, b.rva_size);
  });
  // Exact duplicates need not be next to each other after a sort on two fields.
  std::vector<Unit> unique_units;
  unique_units.reserve(units.size());
  for (const Unit& unit : units) {
    bool duplicate = false;
    for (auto it = unique_units.rbegin();
         it != unique_units.rend() && it->rva_begin == unit.rva_begin && it->rva_size == unit.rva_size; ++it) {
      if (*it == unit) duplicate = true;
    }
    if (!duplicate) unique_units.push_back(unit);
  }

  // Merge units that describe one stretch of memory with one shift between offset and RVA.
  std::vector<Unit> kept;
  kept.reserve(unique_units.size());
  for (const Unit& b : unique_units) {
    if (kept.empty()) {
      kept.push_back(b);
      continue;
    }
    Unit& a = kept.back();
    if (a.rva_end() < b.rva_begin) {
      kept.push_back(b);
      continue;
    }
    if (b.offset_begin < a.offset_begin || b.offset_begin - a.offset_begin != b.rva_begin - a.rva_begin) {
      if (a.rva_end() == b.rva_begin) {
        kept.push_back(b);
        continue;
      }
      return kErrorOverlap;
    }
    if ((b.has_file_less_tail() && a.offset_end() > b.offset_end()) ||
        (a.has_file_less_tail() && a.offset_end() < b.offset_end())) {
      if (a.rva_end() == b.rva_begin) {
        kept.push_back(b);
        continue;
      }
      return kErrorBadOverlap;
    }
    const offset_t shift = b.offset_begin - a.offset_begin;
    a.rva_size = std::max(a.rva_size, shift + b.rva_size);
    a.offset_size = std::max(a.offset_size, shift + b.offset_size);
  }

  // Units without file bytes (.bss) come first among equal starts, so they neither count as an
  // overlap nor hide the unit that holds the bytes from the search.
  std::sort(kept.begin(), kept.end(), [](const Unit& a, const Unit& b) {
    return std::tie(a.offset_begin, a.offset_size) < std::tie(b.offset_begin, b.offset_size);
  });
  for (std::size_t i = 0; i + 1 < kept.size(); ++i) {
    if (kept[i].offset_end() > kept[i + 1].offset_begin) return kErrorOverlap;
  }

  offset_t fake_begin = 0;
  rva_t rva_end = 0;
  for (const Unit& unit : kept) {
    fake_begin = std::max(fake_begin, unit.offset_end());
    rva_end = std::max(rva_end, unit.rva_end());
  }
  if (fake_begin >= kOffsetBound || rva_end > kOffsetBound - fake_begin) return kErrorFakeOffsetBeginTooLarge;

  units_sorted_by_offset_ = kept;
  std::sort(kept.begin(), kept.end(), [](const Unit& a, const Unit& b) { return a.rva_begin < b.rva_begin; });
  units_sorted_by_rva_ = std::move(kept);
  fake_offset_begin_ = fake_begin;
  return kSuccess;
}

const RvaOffsetMap::Unit* RvaOffsetMap::OffsetToUnit(offset_t offset) const {
  auto it = std::upper_bound(units_sorted_by_offset_.begin(), units_sorted_by_offset_.end(), offset,
                             [](offset_t value, const Unit& unit) { return value < unit.offset_begin; });
  if (it == units_sorted_by_offset_.begin()) return nullptr;
  --it;
  return offset - it->offset_begin < it->offset_size ? &*it : nullptr;
}

const RvaOffsetMap::Unit* RvaOffsetMap::RvaToUnit(rva_t rva) const {
  auto it = std::upper_bound(units_sorted_by_rva_.begin(), units_sorted_by_rva_.end(), rva,
                             [](rva_t value, const Unit& unit) { return value < unit.rva_begin; });
  if (it == units_sorted_by_rva_.begin()) return nullptr;
  --it;
  return rva - it->rva_begin < it->rva_size ? &*it : nullptr;
}

rva_t RvaOffsetMap::OffsetToRvaCache::Convert(offset_t offset) const {
  if (offset >= map_.fake_offset_begin_) {
    const rva_t rva = offset - map_.fake_offset_begin_;
    const Unit* unit = map_.RvaToUnit(rva);
    return unit != nullptr && rva - unit->rva_begin >= unit->offset_size ? rva : kInvalidRva;
  }
  const Unit* unit = cached_;
  if (unit == nullptr || offset - unit->offset_begin >= unit->offset_size) {
    unit = map_.OffsetToUnit(offset);
    if (unit == nullptr) return kInvalidRva;
    cached_ = unit;
  }
  return offset - unit->offset_begin + unit->rva_begin;
}

const RvaOffsetMap::Unit* RvaOffsetMap::RvaToOffsetCache::Find(rva_t rva) const {
  if (cached_ != nullptr && rva - cached_->rva_begin < cached_->rva_size) return cached_;
  const Unit* unit = map_.RvaToUnit(rva);
  if (unit != nullptr) cached_ = unit;
  return unit;
}

bool RvaOffsetMap::RvaToOffsetCache::IsValid(rva_t rva) const { return Find(rva) != nullptr; }

offset_t RvaOffsetMap::RvaToOffsetCache::Convert(rva_t rva) const {
  const Unit* unit = Find(rva);
  if (unit == nullptr) return kInvalidOffset;
  const rva_t delta = rva - unit->rva_begin;
  if (delta < unit->offset_size) return unit->offset_begin + delta;
  return map_.fake_offset_begin_ + rva;
}

}  // namespace kestor
