#include "components/kestor/rel32_utils.h"

#include <algorithm>

#include "base/logging.h"

namespace kestor {

Rel32ReaderX86::Rel32ReaderX86(ConstBufferView image, offset_t lo, offset_t hi, const std::deque<offset_t>& locations,
                               const RvaOffsetMap& map)
    : image_(image),
      location_offset_to_rva_(map),
      target_rva_to_offset_(map),
      current_(std::lower_bound(locations.begin(), locations.end(), lo)),
      end_(locations.end()),
      hi_(hi) {}

std::optional<Reference> Rel32ReaderX86::GetNext() {
  while (current_ != end_ && *current_ < hi_) {
    const offset_t location = *current_++;
    // Locations come from scans inside the image's sections; the test only keeps a
    // hand-made list from stopping the process.
    if (!image_.can_access<std::uint32_t>(location)) continue;
    const rva_t target_rva = location_offset_to_rva_.Convert(location) + 4 + image_.read<std::uint32_t>(location);
    return Reference{location, target_rva_to_offset_.Convert(target_rva)};
  }
  return std::nullopt;
}

Rel32WriterX86::Rel32WriterX86(MutableBufferView image, const RvaOffsetMap& map)
    : image_(image), target_offset_to_rva_(map), location_offset_to_rva_(map) {}

void Rel32WriterX86::PutNext(Reference ref) {
  if (!image_.can_access<std::uint32_t>(ref.location)) return;
  const rva_t target_rva = target_offset_to_rva_.Convert(ref.target);
  const rva_t location_rva = location_offset_to_rva_.Convert(ref.location);
  image_.write<std::uint32_t>(ref.location, target_rva - (location_rva + 4));
}

namespace {
// Reports left before the warnings fall silent for the rest of the process.
int g_mix_failure_warnings_left = 10;
}  // namespace

void OutputRel32MixFailureWarning(int type) {
  if (g_mix_failure_warnings_left <= 0) return;
  LOG(WARNING) << "Reference byte mix failed with type = " << type << "." << '\n';
  if (--g_mix_failure_warnings_left == 0) LOG(WARNING) << "(Additional output suppressed)";
}

}  // namespace kestor
