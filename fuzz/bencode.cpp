// Bencode decoding of arbitrary bytes: no crash, no unbounded recursion, and whatever
// decodes re-encodes to a canonical form that decodes to the same value and is stable.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "bittorrent/bencode.h"
#include "fuzz/support/check.h"

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  auto value = bittorrent::bencode_decode(in);
  auto at = bittorrent::decode_bval_at(in, 0, 0);
  if (value) {
    check(at.has_value() && at->end == size && at->value == *value);
    const Bytes canonical = bittorrent::bencode_encode(*value);
    auto again = bittorrent::bencode_decode(canonical);
    check(again.has_value());
    check(bittorrent::bencode_encode(*again) == canonical);
  } else if (at) {
    check(at->end < size);  // only trailing bytes separate the two
  }
  if (size >= 2) {
    auto prefix = bittorrent::decode_int_slice(in, 0, size, true);
    if (prefix) check(std::to_string(*prefix).size() == size);
  }
  return 0;
}
