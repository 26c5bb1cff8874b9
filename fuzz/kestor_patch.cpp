// The kestor patch reader and raw-data application on arbitrary input: no crash, no read
// outside the patch, no stop on a check. A patch that reads is applied to a made-up old image
// of its old size (when both images are at most 1 MiB), twice: elements are not changed by
// applying them, so both runs must give the same bytes and the same result.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/logging.h"
#include "components/kestor/kestor_apply.h"
#include "components/kestor/patch_reader.h"
#include "fuzz/support/check.h"

namespace {

using fuzz_support::check;

// With both hooks set, engine lines go to the update log, which is not open here: they are
// dropped instead of flooding the fuzzer's output.
bool DropMessage(int, const char*, int, std::size_t, const std::string&) { return true; }
void DropPrint(const char*) {}

bool ApplyAll(const kestor::Patch& patch, const std::vector<std::uint8_t>& old, std::vector<std::uint8_t>& out) {
  for (const kestor::PatchElement& e : patch.elements) {
    const kestor::ConstBufferView old_view(old.data() + e.match.old_offset, e.match.old_length);
    const kestor::MutableBufferView new_view(out.data() + e.match.new_offset, e.match.new_length);
    if (!kestor::ApplyElement(e.match.exe_type, old_view, e, new_view)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  logging::gLogMessageHandler = &DropMessage;
  logging::gLogPrintHook = &DropPrint;
  std::optional<kestor::Patch> patch = kestor::ReadPatch(kestor::ConstBufferView(data, size));
  if (!patch) return 0;
  std::uint64_t covered = 0;
  for (const kestor::PatchElement& e : patch->elements) {
    check(std::uint64_t{e.match.old_offset} + e.match.old_length <= patch->header.old_size);
    check(e.match.new_offset == covered);
    covered += e.match.new_length;
  }
  check(covered == patch->header.new_size);
  if (patch->header.old_size > (1u << 20) || patch->header.new_size > (1u << 20)) return 0;

  std::vector<std::uint8_t> old(patch->header.old_size);
  for (std::size_t i = 0; i < old.size(); ++i) old[i] = static_cast<std::uint8_t>(i * 31 + (i >> 9));
  std::vector<std::uint8_t> first(patch->header.new_size, 0);
  std::vector<std::uint8_t> second(patch->header.new_size, 0);
  const bool ok1 = ApplyAll(*patch, old, first);
  const bool ok2 = ApplyAll(*patch, old, second);
  check(ok1 == ok2);
  check(first == second);
  return 0;
}
