#pragma once
// Rebuilding one element of the new image from its old range and the element's streams, in
// four stages: copy old bytes and fill the gaps with extra data; add the raw-delta byte
// corrections; make a disassembler of the element's type for the old and the new bytes; and
// re-aim every reference the old element held at the matching target in the new element.
//
// Every failure writes one ERROR line and ends the element at once; bytes already written stay.
// The element is not changed: each stage walks fresh copies of its sources, so it can be
// applied again.
#include <cstddef>
#include <cstdint>
#include <deque>

#include "components/kestor/buffer_view.h"
#include "components/kestor/disassembler.h"
#include "components/kestor/image_utils.h"
#include "components/kestor/patch_reader.h"

namespace kestor {

// All four stages. old_image and new_image are the element's ranges of the two images.
bool ApplyElement(std::uint32_t exe_type, ConstBufferView old_image, const PatchElement& element,
                  MutableBufferView new_image);

// Stage 1: equivalences and extra data.
bool ApplyEquivalenceAndExtraData(ConstBufferView old_image, const PatchElement& element, MutableBufferView new_image);
// Stage 2: raw-delta byte corrections, addressed by offset into the concatenated copies.
bool ApplyRawDelta(const PatchElement& element, MutableBufferView new_image);
// Stage 4 with given disassemblers: old_disasm parsed the old element, new_disasm the new
// element's bytes after stages 1 and 2, and new_image has new_disasm's size.
bool ApplyReferencesCorrection(const PatchElement& element, Disassembler& old_disasm, Disassembler& new_disasm,
                               MutableBufferView new_image);

// The equivalences sorted by source (longer first, then by destination) and pruned so that
// their source ranges no longer overlap; zero-length ones are dropped.
std::deque<Equivalence> MakePrunedEquivalences(EquivalenceSource equivalences);

// Where an old target lands in the new element: beyond the old end it keeps its distance
// beyond the new end (at most 0x7FFFFFFE); otherwise it moves with the equivalence that holds
// it or lies nearest (a tie picks the following one), clamped into the new element.
// `pruned` is not empty.
offset_t ExtendedProjection(const std::deque<Equivalence>& pruned, offset_t target, offset_t old_size,
                            offset_t new_size);

// Index of the entry of the sorted list nearest to p (a tie picks the smaller entry); 0 for an
// empty list.
std::size_t NearestTargetIndex(const std::deque<offset_t>& targets, offset_t p);

}  // namespace kestor
