#pragma once
// The streaming endpoint of one client destination: opens connections, accepts inbound
// ones, hands every incoming packet to its connection by local stream id, and queues the
// datagrams that arrive for the destination.
//
// A connection made by a SYN stands both in `connections` and in `accept_queue` (the same
// object), so a consumer that takes it from the queue works on the connection that stays
// in the list. Bounds: at most 1,024 connections and 64 waiting in the accept queue (a SYN
// beyond is dropped); each datagram queue keeps the newest 256.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "common/destination.h"
#include "common/hash.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "encoding/i2cp_gzip.h"
#include "streaming/connection.h"
#include "streaming/datagram.h"

namespace streaming {

inline constexpr std::size_t kMaxConnections = 1024;
inline constexpr std::size_t kMaxAcceptQueue = 64;
inline constexpr std::size_t kMaxDatagramQueue = 256;

using ConnectionPtr = std::shared_ptr<StreamConnection>;

struct StreamManager {
  common::Destination own_destination;
  crypto::Ed25519SigningKey signing_key;  // the expanded Ed25519 key: signs SYN, SYN-ACK and CLOSE
  std::uint32_t next_stream_id = 1;       // never 0
  std::vector<ConnectionPtr> connections;
  std::deque<ConnectionPtr> accept_queue;                                            // taken from the front
  std::deque<std::pair<encoding::I2cpGzipHeader, RepliableDatagram>> dht_datagrams;  // verified only
  std::deque<std::pair<encoding::I2cpGzipHeader, Bytes>> raw_datagrams;
  // One compressor for the envelopes of all the manager's connections.
  std::shared_ptr<encoding::Deflater> deflater = std::make_shared<encoding::Deflater>();

  // An empty manager; a first id of 0 starts at 1. ("new" in the protocol's wording.)
  static StreamManager create(common::Destination own, const crypto::Ed25519SigningKey& key,
                              std::uint32_t first_stream_id);

  // The next local stream id: 1 follows 0xFFFFFFFF.
  std::uint32_t take_stream_id();

  // A new outbound connection with its signed SYN queued; StreamingError::Protocol when
  // 1,024 connections exist, or a signing or encoding error (the connection is not kept).
  Result<ConnectionPtr> connect(const common::Hash& peer, std::uint64_t now_ms, std::uint16_t from_port,
                                std::uint16_t to_port);

  // One I2CP envelope for the destination: the connection the packet concerned (a new
  // inbound one for a SYN), or null for datagrams, other protocols and packets of no
  // connection; a StreamingError for what does not decode or verify.
  Result<ConnectionPtr> handle_incoming_i2cp(ByteView envelope, std::uint64_t now_ms);

  // The timed resend of every connection (see StreamConnection::resend_due).
  bool resend_due(std::uint64_t now_ms, std::uint64_t base_interval_ms);
  // The delayed acknowledgements that are due (see StreamConnection::send_due_ack); true
  // when one went into an outbox.
  bool send_due_acks(std::uint64_t now_ms);

 private:
  Result<ConnectionPtr> accept_syn(const StreamingPacket& syn, const encoding::I2cpGzipHeader& header,
                                   std::uint64_t now_ms);
};

// Display text of an error of the streaming package ("protocol error: ...", "invalid
// signature", ...); other errors as to_string shows them.
std::string error_text(const Error& error);

}  // namespace streaming
