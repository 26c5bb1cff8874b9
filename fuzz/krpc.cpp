// KRPC and compact node decoding of arbitrary bytes: no crash; an accepted message encodes
// to bytes that decode to the same message, and compact nodes re-encode to their input
// without the entries of port 0.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "bittorrent/krpc.h"
#include "fuzz/support/check.h"

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  if (auto m = bittorrent::decode_krpc(in)) {
    auto again = bittorrent::decode_krpc(bittorrent::encode_krpc(*m));
    check(again.has_value() && *again == *m);
  }
  if (auto nodes = bittorrent::decode_compact_nodes(in, 1)) {
    check(size % bittorrent::compact_node_size == 0);
    const Bytes back = bittorrent::encode_compact_nodes(*nodes);
    check(back.size() == nodes->size() * bittorrent::compact_node_size);
    for (const auto& n : *nodes) check(n.port != 0 && n.port <= 65535 && n.last_seen_ms == 1);
  }
  return 0;
}
