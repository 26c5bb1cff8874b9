// The cleartext tunnel cell reader and the fragment reassembler on arbitrary bodies: no
// crash, the reassembler stays within its bound, and fragments that can be packed again
// read back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crypto/sha256.h"
#include "fuzz/support/check.h"
#include "tunnel/cell.h"
#include "tunnel/reassembler.h"

namespace {

using fuzz_support::check;

// Most inputs carry a valid checksum and delimiter, so the fragment reader gets the bytes.
Bytes cell_around(const std::uint8_t* body, std::size_t size) {
  Bytes cell(tunnel::kCellSize, 0x5a);
  for (std::size_t i = 0; i < 16; ++i) cell[i] = static_cast<std::uint8_t>(i);
  std::memcpy(cell.data() + tunnel::kCellSize - size, body, size);
  cell[tunnel::kCellSize - size - 1] = 0;
  crypto::Sha256 h;
  h.update(ByteView(body, size));
  h.update(ByteView(cell.data(), 16));
  const auto digest = h.finalize();
  std::memcpy(cell.data() + 16, digest.data(), 4);
  return cell;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool raw = data[0] == 0xff;
  ++data;
  --size;
  Bytes cell = raw && size == tunnel::kCellSize ? Bytes(data, data + size)
                                                : cell_around(data, std::min(size, tunnel::kMaxCellBody));
  auto fragments = tunnel::unpack_tunnel_cell(cell);

  // The checksum test done for many cells at once (here nine copies, so the hashes run side
  // by side where they can) gives each the verdict the one-cell reader gives, and the
  // reader of a checked cell the same fragments.
  const ByteView views[9] = {cell, cell, cell, cell, cell, cell, cell, cell, cell};
  bool ok[9] = {};
  tunnel::check_cell_checksums(views, ok);
  for (bool each : ok) check(each == ok[0]);
  if (ok[0]) {
    auto checked = tunnel::unpack_checked_tunnel_cell(cell);
    check(checked.has_value() == fragments.has_value());
    if (fragments) check(*checked == *fragments);
  } else {
    check(!fragments);
  }
  if (!fragments) return 0;

  auto repacked = tunnel::pack_tunnel_cell(ByteView(cell).first(16), *fragments, {});
  if (repacked) check(tunnel::unpack_tunnel_cell(*repacked).value() == *fragments);

  // Feed every fragment twice over two tunnels; whatever completes, the list stays bounded.
  tunnel::FragmentReassembler r;
  for (std::uint32_t tunnel_id : {1u, 2u}) {
    for (int pass = 0; pass < 2; ++pass) {
      for (const auto& f : *fragments) {
        (void)r.add(tunnel::CellSource{tunnel::CellSource::Kind::OwnInbound, tunnel_id}, f);
        check(r.pending.size() <= tunnel::FragmentReassembler::kMaxPending);
      }
    }
  }
  return 0;
}
