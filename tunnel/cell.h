#pragma once
// The 1024-byte tunnel cell: IV, checksum, non-zero padding, a zero delimiter, then the
// encoded fragments. Packing one cell, cutting a message into cells, and reading the
// fragments back out of a cleartext cell.
//
//   0..15   IV
//   16..19  first 4 bytes of SHA-256(body || IV)
//   20..    1003 - f padding bytes, none zero
//   1023-f  0x00
//   1024-f  body: f <= 1003 bytes of fragments back to back
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "tunnel/delivery.h"
#include "tunnel/fragment.h"

namespace tunnel {

inline constexpr std::size_t kCellSize = 1024;
inline constexpr std::size_t kCellIvSize = 16;
inline constexpr std::size_t kMaxCellBody = 1003;
// Data of a follow-on fragment that fills a cell: 1003 - flag, message id and size.
inline constexpr std::size_t kFollowOnData = 996;
// The six-bit fragment number allows follow-ons 1..63.
inline constexpr int kMaxFollowOnNumber = 63;

// The longest message fragment_message_to_cells takes with this delivery: the first
// fragment and 63 full follow-ons (Local 63,744, Tunnel 63,708, Router 63,712 bytes).
std::size_t max_tunnel_message_size(const TunnelDelivery& delivery);

// One cell holding the fragments in order. Padding byte i is byte i of padding_source
// (a zero made 0x01), or (i mod 254) + 1 past its end. Fails with
// TunnelError::InvalidLength on an IV that is not 16 bytes or a body over 1003 bytes, and
// with TunnelError::Invalid on a follow-on number outside 1..63, which the wire cannot
// carry.
Result<Bytes> pack_tunnel_cell(ByteView iv, std::span<const TunnelFragment> fragments, ByteView padding_source);

// The cells of one I2NP message (with its standard header), in sending order. A message
// of up to 1000 - b bytes (b = the delivery's instruction size) is one unfragmented
// first fragment; a longer one is a first fragment of 996 - b bytes under msg_id, then
// follow-ons 1, 2, ... of up to 996 bytes, the last one marked. Follow-on cell g has
// base_iv with every byte XORed with g. A message longer than
// max_tunnel_message_size(delivery) is refused (TunnelError::InvalidLength): its 64th
// follow-on would be numbered 0 on the wire and collide with the first fragment.
Result<std::vector<Bytes>> fragment_message_to_cells(const TunnelDelivery& delivery, std::uint32_t msg_id,
                                                     ByteView message, ByteView base_iv, ByteView padding_source);

// The most padding any cell of fragment_message_to_cells(delivery, ., message of this size)
// holds, so the most padding source it reads (0 for a size it refuses): the one cell of a
// short message, or the last follow-on of a long one.
std::size_t padding_needed(const TunnelDelivery& delivery, std::size_t message_size);

// The fragments of a cleartext cell, in order. The body starts after the first zero at or
// after offset 20; its checksum must match. Fails with TunnelError::InvalidLength (not
// 1024 bytes), TunnelError::Invalid (no delimiter, checksum mismatch, delivery code 3) or
// TunnelError::Encoding (a fragment cut short); nothing is returned from a bad cell.
Result<std::vector<TunnelFragment>> unpack_tunnel_cell(ByteView cell);

// The checksum test of unpack_tunnel_cell for many cells at once, the hashes run side by
// side: ok[i] (the spans have the same size) says whether cells[i] is 1024 bytes with a
// delimiter and a matching checksum.
void check_cell_checksums(std::span<const ByteView> cells, std::span<bool> ok);
// unpack_tunnel_cell of a cell check_cell_checksums passed, without hashing it again.
Result<std::vector<TunnelFragment>> unpack_checked_tunnel_cell(ByteView cell);

}  // namespace tunnel
