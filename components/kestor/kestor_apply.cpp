#include "components/kestor/kestor_apply.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

#include "base/check.h"
#include "base/logging.h"
#include "base/strings.h"
#include "components/kestor/disassembler_factory.h"

namespace kestor {
namespace {

constexpr char kBoundaryInsideAbs32[] = "Equivalence boundary inside an abs32 reference";

void SortAndUnique(std::deque<offset_t>* values) {
  std::sort(values->begin(), values->end());
  values->erase(std::unique(values->begin(), values->end()), values->end());
}

}  // namespace

bool ApplyEquivalenceAndExtraData(ConstBufferView old_image, const PatchElement& element, MutableBufferView new_image) {
  EquivalenceSource equivalences = element.equivalences;
  const ConstBufferView extra = element.extra_data;
  std::size_t extra_pos = 0;
  std::size_t w = 0;
  while (std::optional<Equivalence> eq = equivalences.GetNext()) {
    // The reader checked every equivalence against the element and the destinations only
    // move forwards.
    CHECK_GE(eq->destination, w);
    const std::size_t gap = eq->destination - w;
    if (extra.size() - extra_pos < gap) {
      LOG(ERROR) << "Error reading extra_data";
      return false;
    }
    std::memcpy(new_image.begin() + w, extra.begin() + extra_pos, gap);
    w += gap;
    extra_pos += gap;
    CHECK_EQ(w, eq->destination);
    CHECK(old_image.covers(eq->source, eq->length) && new_image.covers(w, eq->length));
    std::memmove(new_image.begin() + w, old_image.begin() + eq->source, eq->length);
    w += eq->length;
    CHECK_EQ(w, std::size_t{eq->destination} + eq->length);
  }
  const std::size_t tail = new_image.size() - w;
  if (extra.size() - extra_pos < tail) {
    LOG(ERROR) << "Error reading extra_data";
    return false;
  }
  std::memcpy(new_image.begin() + w, extra.begin() + extra_pos, tail);
  extra_pos += tail;
  if (!equivalences.Done() || extra_pos != extra.size()) {
    LOG(ERROR) << "Found trailing equivalence and extra_data";
    return false;
  }
  return true;
}

bool ApplyRawDelta(const PatchElement& element, MutableBufferView new_image) {
  EquivalenceSource equivalences = element.equivalences;
  RawDeltaSource raw_delta = element.raw_delta;
  std::optional<Equivalence> current;
  bool started = false;
  std::uint64_t base = 0;
  while (std::optional<RawDeltaUnit> unit = raw_delta.GetNext()) {
    if (!started) {
      started = true;
      current = equivalences.GetNext();
    }
    while (current && unit->copy_offset >= base + current->length) {
      base += current->length;
      current = equivalences.GetNext();
    }
    if (!current) {
      LOG(ERROR) << "Error reading equivalences";
      return false;
    }
    const std::size_t pos = current->destination + static_cast<std::size_t>(unit->copy_offset - base);
    new_image[pos] = static_cast<std::uint8_t>(new_image[pos] + unit->diff);
  }
  if (!raw_delta.Done()) {
    LOG(ERROR) << "Found trailing raw_delta";
    return false;
  }
  return true;
}

std::deque<Equivalence> MakePrunedEquivalences(EquivalenceSource equivalences) {
  std::deque<Equivalence> eqs;
  while (std::optional<Equivalence> eq = equivalences.GetNext()) eqs.push_back(*eq);
  // By source; among equal sources the longer first (a zero-length one before all, as
  // 2^32 - 0 wraps to 0); then by destination.
  std::sort(eqs.begin(), eqs.end(), [](const Equivalence& a, const Equivalence& b) {
    return std::make_tuple(a.source, 0u - a.length, a.destination) <
           std::make_tuple(b.source, 0u - b.length, b.destination);
  });

  for (std::size_t i = 0; i < eqs.size(); ++i) {
    Equivalence& cur = eqs[i];
    if (cur.length == 0) continue;
    const std::uint64_t end = std::uint64_t{cur.source} + cur.length;
    std::size_t j = i + 1;
    while (j < eqs.size() && eqs[j].source < end && eqs[j].length <= cur.length) ++j;
    if (j < eqs.size() && eqs[j].source < end) {
      // A longer one starts inside cur: cur ends where it starts, and those between go.
      cur.length = eqs[j].source - cur.source;
      for (std::size_t k = i + 1; k < j; ++k) eqs[k].length = 0;
      i = j - 1;
      continue;
    }
    for (std::size_t k = i + 1; k < j; ++k) {
      Equivalence& e = eqs[k];
      const offset_t d = static_cast<offset_t>(std::min<std::uint64_t>(e.length, end - e.source));
      e.length -= d;
      e.destination += d;
      e.source = static_cast<offset_t>(end);
    }
  }
  std::erase_if(eqs, [](const Equivalence& e) { return e.length == 0; });
  return eqs;
}

offset_t ExtendedProjection(const std::deque<Equivalence>& pruned, offset_t target, offset_t old_size,
                            offset_t new_size) {
  if (target >= old_size) {
    const std::uint64_t projected = std::uint64_t{new_size} + (target - old_size);
    return projected >= kOffsetBound ? kOffsetBound - 1 : static_cast<offset_t>(projected);
  }
  CHECK(!pruned.empty());
  auto it = std::upper_bound(pruned.begin(), pruned.end(), target,
                             [](offset_t t, const Equivalence& e) { return t < e.source; });
  const Equivalence* eq;
  if (it == pruned.begin()) {
    eq = &*it;
  } else if (it == pruned.end()) {
    eq = &pruned.back();
  } else {
    const Equivalence& prev = *(it - 1);
    const std::uint64_t prev_end = std::uint64_t{prev.source} + prev.length;
    if (target < prev_end) {
      eq = &prev;
    } else {
      eq = (target - prev_end < it->source - target) ? &prev : &*it;
    }
  }
  const std::int64_t projected =
      static_cast<std::int64_t>(eq->destination) + (static_cast<std::int64_t>(target) - eq->source);
  return static_cast<offset_t>(std::clamp<std::int64_t>(projected, 0, std::int64_t{new_size} - 1));
}

std::size_t NearestTargetIndex(const std::deque<offset_t>& targets, offset_t p) {
  auto it = std::lower_bound(targets.begin(), targets.end(), p);
  if (it == targets.begin()) return 0;
  if (it == targets.end()) return targets.size() - 1;
  const std::size_t index = static_cast<std::size_t>(it - targets.begin());
  return (*it - p < p - *(it - 1)) ? index : index - 1;
}

bool ApplyReferencesCorrection(const PatchElement& element, Disassembler& old_disasm, Disassembler& new_disasm,
                               MutableBufferView new_image) {
  const offset_t old_size = old_disasm.size();
  const offset_t new_size = static_cast<offset_t>(new_image.size());
  const std::vector<ReferenceGroup> old_groups = old_disasm.MakeReferenceGroups();
  const std::vector<ReferenceGroup> new_groups = new_disasm.MakeReferenceGroups();
  std::map<std::uint8_t, std::vector<const ReferenceGroup*>> pools;
  for (const ReferenceGroup& group : old_groups) pools[group.pool_tag()].push_back(&group);

  ReferenceDeltaSource reference_deltas = element.reference_delta;
  if (!pools.empty()) {
    const std::deque<Equivalence> pruned = MakePrunedEquivalences(element.equivalences);
    for (const auto& [pool_tag, groups] : pools) {
      std::deque<offset_t> old_targets;
      for (const ReferenceGroup* group : groups) {
        // Disassemblers drop locations whose body passes the image's end, so this read of the
        // whole element always gets a reader; refusing is still better than stopping.
        std::unique_ptr<ReferenceReader> reader = group->GetReader(0, old_size, old_disasm);
        if (reader == nullptr) {
          LOG(ERROR) << kBoundaryInsideAbs32;
          return false;
        }
        while (std::optional<Reference> ref = reader->GetNext()) old_targets.push_back(ref->target);
        SortAndUnique(&old_targets);
      }

      std::deque<offset_t> targets;
      auto eq = pruned.begin();
      for (offset_t t : old_targets) {
        while (eq != pruned.end() && std::uint64_t{eq->source} + eq->length <= t) ++eq;
        if (eq != pruned.end() && eq->source <= t) targets.push_back(eq->destination + (t - eq->source));
      }
      std::sort(targets.begin(), targets.end());

      auto extra = element.extra_targets.find(pool_tag);
      std::optional<TargetSource> extra_targets;
      if (extra != element.extra_targets.end()) {
        extra_targets = extra->second;
        while (std::optional<offset_t> t = extra_targets->GetNext()) targets.push_back(*t);
      }
      SortAndUnique(&targets);
      if (extra_targets && !extra_targets->Done()) {
        LOG(ERROR) << "Found trailing extra_targets";
        return false;
      }

      for (const ReferenceGroup* group : groups) {
        // Both disassemblers are of one type, so their lists of groups match.
        CHECK_LT(group->type_tag(), new_groups.size());
        const ReferenceGroup& new_group = new_groups[group->type_tag()];
        std::unique_ptr<ReferenceWriter> writer = new_group.GetWriter(new_image, new_disasm);
        EquivalenceSource equivalences = element.equivalences;
        while (std::optional<Equivalence> equivalence = equivalences.GetNext()) {
          std::unique_ptr<ReferenceReader> reader =
              group->GetReader(equivalence->source, equivalence->source + equivalence->length, old_disasm);
          if (reader == nullptr) {
            LOG(ERROR) << kBoundaryInsideAbs32;
            return false;
          }
          while (std::optional<Reference> ref = reader->GetNext()) {
            const offset_t new_location = ref->location + equivalence->destination - equivalence->source;
            const offset_t projected = ExtendedProjection(pruned, ref->target, old_size, new_size);
            const std::size_t nearest = NearestTargetIndex(targets, projected);
            std::optional<std::int32_t> delta = reference_deltas.GetNext();
            if (!delta) {
              LOG(ERROR) << "Error reading reference_delta";
              return false;
            }
            const std::uint32_t index = static_cast<std::uint32_t>(nearest) + static_cast<std::uint32_t>(*delta);
            if (index >= targets.size()) {
              LOG(ERROR) << "Invalid reference_delta";
              return false;
            }
            // A damaged patch can move a body past the element's end; the writers would stop
            // the process on it.
            if (!new_image.covers(new_location, new_group.width())) {
              LOG(ERROR) << "Reference location out of bounds: " << base::FormatString("%08X", new_location);
              return false;
            }
            writer->PutNext(Reference{new_location, targets[index]});
          }
        }
      }
    }
  }
  if (!reference_deltas.Done()) {
    LOG(ERROR) << "Found trailing ref_delta_source";
    return false;
  }
  return true;
}

bool ApplyElement(std::uint32_t exe_type, ConstBufferView old_image, const PatchElement& element,
                  MutableBufferView new_image) {
  if (!ApplyEquivalenceAndExtraData(old_image, element, new_image)) return false;
  if (!ApplyRawDelta(element, new_image)) return false;

  std::unique_ptr<Disassembler> old_disasm = MakeDisassemblerForType(old_image, exe_type);
  std::unique_ptr<Disassembler> new_disasm = MakeDisassemblerForType(new_image, exe_type);
  if (old_disasm == nullptr || new_disasm == nullptr) {
    LOG(ERROR) << "Failed to create Disassembler";
    return false;
  }
  if (old_disasm->size() != old_image.size() || new_disasm->size() != new_image.size()) {
    LOG(ERROR) << "Disassembler and element size mismatch";
    return false;
  }
  return ApplyReferencesCorrection(element, *old_disasm, *new_disasm, new_image);
}

}  // namespace kestor
