#pragma once
// The peer wire protocol: the 68-byte handshake, length-prefixed message frames (base
// protocol, Fast extension, extension protocol) and the i2p_pex payload, whose peers are
// 32-byte destination hashes. Pure functions over bytes; the buffers belong to the caller.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "common/hash.h"
#include "encoding/bytes.h"
#include "encoding/error.h"

namespace bittorrent {

inline constexpr std::size_t handshake_size = 68;
// The largest frame length value accepted from a peer; it bounds what one frame can make
// the client hold.
inline constexpr std::uint32_t max_peer_frame = 2 * 1024 * 1024;
// Frames decoded from one receive buffer in one call, so one peer cannot keep the loop.
inline constexpr std::size_t max_frames_per_call = 64;
// Peers taken from or put into one i2p_pex message.
inline constexpr std::size_t max_pex_peers = 50;

struct Handshake {
  std::array<std::uint8_t, 8> reserved{};
  std::array<std::uint8_t, 20> info_hash{};
  std::array<std::uint8_t, 20> peer_id{};
};

struct PeerMessage {
  struct KeepAlive {};
  struct Choke {};
  struct Unchoke {};
  struct Interested {};
  struct NotInterested {};
  struct Have {
    std::uint32_t index = 0;
  };
  struct Bitfield {
    Bytes bits;
  };
  struct Request {
    std::uint32_t index = 0, begin = 0, length = 0;
  };
  struct Piece {
    std::uint32_t index = 0, begin = 0;
    Bytes block;
  };
  struct Cancel {
    std::uint32_t index = 0, begin = 0, length = 0;
  };
  struct SuggestPiece {
    std::uint32_t index = 0;
  };
  struct HaveAll {};
  struct HaveNone {};
  struct RejectRequest {
    std::uint32_t index = 0, begin = 0, length = 0;
  };
  struct AllowedFast {
    std::uint32_t index = 0;
  };
  struct Extended {
    std::uint8_t id = 0;
    Bytes payload;
  };
  std::variant<KeepAlive, Choke, Unchoke, Interested, NotInterested, Have, Bitfield, Request, Piece, Cancel,
               SuggestPiece, HaveAll, HaveNone, RejectRequest, AllowedFast, Extended>
      kind;
};

// Fails BittorrentError::Wire unless both are exactly 20 bytes. The reserved bytes carry
// only the extension-protocol bit (0x10 in byte 5).
Result<Bytes> encode_handshake(ByteView info_hash, ByteView peer_id);
// Reads the first 68 bytes; more may follow and are ignored.
Result<Handshake> decode_handshake(ByteView received);

// The whole frame, length prefix included.
Bytes encode_peer_message(const PeerMessage& message);

// The next message of a receive buffer, its frame removed; none while the frame is not
// complete. A frame above max_peer_frame fails at once, leaving the buffer as it is; a frame
// too short for its fixed fields fails BittorrentError::Encoding after its removal. Unknown
// ids decode to KeepAlive.
Result<std::optional<PeerMessage>> decode_peer_frame(Bytes& buffer);

// Up to max_frames complete frames of the buffer, all removed in one move. Decoding stops at
// the first error, which is given beside the messages before it; the caller closes the
// connection after handling those.
struct PeerFrames {
  std::vector<PeerMessage> messages;
  std::optional<Error> error;
};
PeerFrames decode_peer_frames(Bytes& buffer, std::size_t max_frames = max_frames_per_call);

// Removes the first n bytes (all of them when n is at least the length).
void consume_front_bytes(Bytes& buffer, std::size_t n);

// {"added": the hashes concatenated}; only the first max_pex_peers hashes are sent.
Bytes encode_i2p_pex(std::span<const common::Hash> peers);
// The peers of an i2p_pex payload: whole 32-byte groups of "added" (a shorter remainder is
// ignored), at most max_pex_peers of them. None when the payload is not bencode or has no
// "added" byte string.
std::optional<std::vector<common::Hash>> decode_i2p_pex(ByteView payload);

}  // namespace bittorrent
