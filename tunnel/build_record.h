#pragma once
// Short tunnel build records: the request a tunnel's creator seals to each hop, the reply
// the hop writes into the same slot, and the ChaCha20 layers by which every record is
// readable only by the hop it belongs to.
//
// A build message is a list of 218-byte records, one slot per hop (4 slots for up to 4
// hops, else 8) and random bytes in the unused ones. Every operation on the record in slot
// i uses the slot nonce of i (make_slot_nonce), which binds the record to its place.
//
//   request  hop_hash[0..16] | ephemeral X25519 public key (32) | ChaCha20-Poly1305 of
//            the 154-byte cleartext (170), sealed by Noise N to the hop's X25519 key
//   reply    ChaCha20-Poly1305 under the hop's reply_key with reply_ad as associated data
//            of 202 bytes whose last byte is the reply code (0: accepted)
//
// Each hop, having written its reply, puts every other record through plain ChaCha20
// (block counter from 1) under its reply_key. The creator therefore encrypts the request
// of hop Y in advance with the reply keys of hops 0..Y-1 (each of those removes its own
// layer on the way), and peels the reply of hop k with the reply keys of hops k+1..last.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "common/hash.h"
#include "common/mapping.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "noise/key_pair.h"
#include "tunnel/hop_keys.h"

namespace tunnel {

inline constexpr std::size_t kBuildRecordSize = 218;
inline constexpr std::size_t kBuildRecordHashPrefix = 16;
inline constexpr std::size_t kBuildRequestCleartextSize = 154;
inline constexpr std::size_t kBuildReplyCleartextSize = 202;
inline constexpr std::size_t kBuildReplyCodeOffset = 201;
inline constexpr std::uint8_t kBuildFlagInboundGateway = 0x80;
inline constexpr std::uint8_t kBuildFlagOutboundEndpoint = 0x40;
inline constexpr std::string_view kBuildNoiseProtocol = "Noise_N_25519_ChaChaPoly_SHA256";

// The request fields, big-endian on the wire in this order (56 bytes and the Mapping).
struct ShortBuildRequestRecord {
  std::uint32_t receive_tunnel_id = 0;  // where the hop receives
  std::uint32_t next_tunnel_id = 0;     // where it sends (0: no tunnel)
  common::Hash next_ident;              // the next hop, or the router that gets the reply
  std::uint8_t flags = 0;               // 0x80 inbound gateway, 0x40 outbound endpoint
  std::uint8_t layer_enc_type = 0;
  std::uint32_t request_time_min = 0;  // unix minutes of the build
  std::uint32_t expiration_s = 600;
  std::uint32_t next_msg_id = 0;  // the id the hop forwards the build (or its reply) under
  common::Mapping options;

  bool is_outbound_endpoint() const { return (flags & kBuildFlagOutboundEndpoint) != 0; }

  // The fields alone (58 bytes with an empty Mapping). A Mapping that cannot be encoded
  // is TunnelError::Common.
  Result<Bytes> encode() const;
  // Reads the fields from a 154-byte cleartext; what follows the Mapping is ignored.
  // Another size is TunnelError::InvalidLength; a short read TunnelError::Encoding; a
  // Mapping that does not decode TunnelError::Common.
  static Result<ShortBuildRequestRecord> decode(ByteView cleartext);

  friend bool operator==(const ShortBuildRequestRecord&, const ShortBuildRequestRecord&) = default;
};

// One hop of a build message being made.
struct ShortHopBuildSpec {
  std::size_t slot_idx = 0;
  common::Hash hop_hash;
  Bytes hop_static_pub;  // the hop's X25519 identity key, 32 bytes
  noise::KeyPair ephemeral;
  ShortBuildRequestRecord request;
  std::array<std::uint8_t, 8> padding{};  // written right after the fields
};

// (slot index, keys) of each hop, in hop order.
using SlotKeys = std::vector<std::pair<std::size_t, HopKeys>>;

// Seals each hop's request into its slot of records (which the caller filled with random
// bytes: unused slots keep them), then layers the later hops' records with the earlier
// hops' reply keys. Checks: a slot past the records is TunnelError::InvalidLength "hop
// slot_idx out of range: N", a slot named twice TunnelError::Invalid "duplicate hop
// slot_idx: N", fewer records than hops TunnelError::InvalidLength "total_slots must be
// >= hops.length()", a hop key that is not 32 bytes TunnelError::InvalidLength, fields
// over 154 bytes TunnelError::InvalidLength, X25519 TunnelError::Crypto, sealing
// TunnelError::Noise. On failure records may be partly written.
Result<SlotKeys> write_short_build_requests(std::vector<Bytes>& records, const std::vector<ShortHopBuildSpec>& hops);

// The ephemeral public key of a 218-byte request record, readable before any X25519.
ByteView build_record_ephemeral(ByteView record);

// A request opened by the hop it is sealed to.
struct OpenedBuildRequest {
  ShortBuildRequestRecord request;
  HopKeys keys;
};

// Opens a 218-byte request record with the hop's own static key pair. A record of another
// size is TunnelError::InvalidLength; X25519 TunnelError::Crypto; a record that does not
// authenticate TunnelError::Noise; fields that do not decode as in decode().
Result<OpenedBuildRequest> open_short_build_request(const noise::KeyPair& own_static, ByteView record);

// The hop's answer written into the message: the sealed reply (an empty Mapping, the 8
// random bytes, zeros, code) replaces the record in own_slot, every other record gets the
// hop's ChaCha20 layer under its own slot's nonce. A slot past the records or a record
// that is not 218 bytes is TunnelError::InvalidLength; a cipher failure
// TunnelError::Crypto. On failure records may be partly changed.
Result<void> write_short_build_reply(std::vector<Bytes>& records, std::size_t own_slot, const HopKeys& keys,
                                     const std::array<std::uint8_t, 8>& random, std::uint8_t code);

// The creator's reading of a reply: each hop's reply code, in hop order. Any record that
// is missing ("reply slot index out of bounds: N"), not 218 bytes, or does not
// authenticate fails the whole reply (TunnelError::InvalidLength or TunnelError::Crypto):
// an answer is taken only when every hop's record is genuine.
Result<std::vector<std::uint8_t>> open_short_build_replies(const std::vector<Bytes>& records, const SlotKeys& hop_keys);

}  // namespace tunnel
