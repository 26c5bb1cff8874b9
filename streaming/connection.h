#pragma once
// One streaming connection: sequence numbers, acknowledgements, retransmission records,
// the receive buffer and an outbox of ready-to-send I2CP envelopes.
//
// Nothing here does I/O or reads a clock: every operation that needs the time takes now_ms,
// the router's monotonic milliseconds (only intervals are measured with it). Packets
// leave through the outbox, which the router's egress empties.
//
// Bounds, since everything here grows from a peer's packets: data is stored out of order
// only less than 128 sequence numbers ahead; at most 1 MiB received and unread is held
// (data beyond is dropped unacknowledged and comes again with the peer's resend); the
// outbox keeps the newest 256 envelopes (tracked packets dropped from it come back with
// the timed resend). A packet unacknowledged for its resend interval is sent again with
// the interval doubled each time (at most 60 s); after 8 resends without any
// acknowledgement the peer is taken to be gone and the connection becomes Reset.
//
// Acknowledgements, as the protocol's senders time their resends: in-order data is
// acknowledged at the second packet since the last acknowledgement, or kAckDelayMs after
// the first, whichever comes first; data out of order, duplicated, filling a gap or asking
// for an answer (CLOSE, ECHO, a requested delay of 0) at once, so that a sender learns of a
// loss (NACKs) without waiting. Data and CLOSE packets carry the acknowledgement fields: an
// acknowledgement still waiting is sent with them rather than on its own, and at most one
// plain ACK stands unsent in the outbox (a newer replaces it).
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "common/destination.h"
#include "common/hash.h"
#include "crypto/ed25519.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "streaming/packet.h"

namespace streaming {

enum class StreamState : std::uint8_t {
  SynSent = 0,      // SYN sent, SYN-ACK not yet received
  Established = 2,  // both ids known
  CloseSent = 3,    // own CLOSE sent, the peer's not yet taken
  Closed = 4,       // both sides closed
  Reset = 5,        // the peer reset the connection, or vanished
};

inline constexpr int kDefaultMaxPayload = 1730;
inline constexpr int kMinMaxPayload = 512;
inline constexpr int kWindow = 16;
inline constexpr std::uint32_t kMaxOutOfOrderAhead = 128;
inline constexpr std::size_t kMaxUnreadBytes = 1024 * 1024;
inline constexpr std::size_t kMaxOutbox = 256;
inline constexpr std::uint64_t kMaxResendIntervalMs = 60000;
inline constexpr std::uint32_t kMaxResends = 8;
// How long an acknowledgement of in-order data may wait for a second packet or for data of
// our own to ride on. Far below a sender's first resend (about 1 s) and small beside a
// tunnel round trip, yet long enough for a local application to answer a request.
inline constexpr std::uint64_t kAckDelayMs = 20;
// In-order data packets after which an acknowledgement goes without waiting.
inline constexpr std::uint32_t kAckEveryPackets = 2;

struct UnackedPacket {
  std::uint32_t seq = 0;
  StreamingPacket packet;  // sent again unchanged
  std::uint64_t last_send_ms = 0;
  std::uint32_t resends = 0;  // timed resends since the peer last acknowledged anything
  // Resent because a NACK named it, since its last timed send. Every packet the peer
  // receives past a gap NACKs it again; a record is resent once for them, not once each.
  bool nack_resent = false;
  Bytes envelope;  // the packet's I2CP envelope, made once and sent again as it is
};

struct StreamConnection {
  common::Destination own_destination;
  crypto::Ed25519SigningKey signing_key;  // the session's expanded Ed25519 key
  std::optional<common::Destination> peer_destination;
  std::optional<Bytes> peer_transient_key;  // the last offline-signature key verified
  common::Hash peer_hash;
  std::uint16_t from_port = 0;
  std::uint16_t to_port = 0;
  std::uint32_t local_stream_id = 0;
  std::uint32_t remote_stream_id = 0;
  StreamState state = StreamState::SynSent;
  std::uint32_t next_seq = 1;
  std::uint32_t highest_ack = 0;
  bool ack_seen = false;
  std::uint32_t next_expected = 0;
  std::uint32_t in_order_through = 0;
  bool peer_known = false;  // while false, data and CLOSE carry NO_ACK
  int max_payload = kDefaultMaxPayload;
  int window = kWindow;
  std::vector<UnackedPacket> unacked;                         // in sending order
  std::vector<std::pair<std::uint32_t, Bytes>> out_of_order;  // in arrival order
  Bytes recv_buf;
  bool peer_closed = false;
  std::deque<Bytes> outbox;  // I2CP envelopes (protocol 6), oldest first
  // The compressor the envelopes are made with, shared by the connections of one manager
  // (none: a fresh one per packet).
  std::shared_ptr<encoding::Deflater> deflater;

  bool inbound = false;  // made by a received SYN
  // The newest outbox entry is a plain ACK. A newer ACK says everything an older unsent
  // one says, so it takes its place: packets that arrive together get one ACK.
  bool ack_last_in_outbox = false;
  // In-order data packets taken since the last acknowledgement sent, and when the
  // acknowledgement of the first of them is due (none while nothing waits for one).
  std::uint32_t unacked_arrivals = 0;
  std::optional<std::uint64_t> ack_due;
  // The sequence number of the peer's CLOSE, once seen: the close takes effect when every
  // number up to it has arrived, so a CLOSE that overtook data does not cut the stream.
  std::optional<std::uint32_t> peer_close_seq;

  // Bytes cut into data packets (fewer than offered when the window filled, 0 when it was
  // full); StreamingError::Protocol "cannot write on closed or reset stream" unless
  // SynSent or Established.
  Result<std::size_t> write(ByteView data, std::uint64_t now_ms);
  // Queues a signed CLOSE (nothing in Closed or Reset); CloseSent, or Closed when the
  // peer has closed.
  Result<void> close(std::uint64_t now_ms);
  // Every in-order byte not yet read; the receive buffer is emptied.
  Bytes read_available();
  // Tracked: kept in unacked for resending. Then its envelope goes to the outbox.
  Result<void> queue_packet(const StreamingPacket& packet, std::uint64_t now_ms, bool tracked);
  // The packet in its I2CP envelope from this connection's ports, made with its compressor.
  Result<Bytes> envelope_of(const StreamingPacket& packet);
  // A plain ACK of everything received, replacing an unsent one; nothing waits after it.
  Result<void> send_ack();
  // The monotonic instant the waiting acknowledgement is due, if one waits.
  std::optional<std::uint64_t> ack_due_ms() const { return ack_due; }
  // Sends the waiting acknowledgement once due; true when it went into the outbox.
  bool send_due_ack(std::uint64_t now_ms);
  // True when all the outbox holds is one plain ACK.
  bool only_ack_waiting() const { return outbox.size() == 1 && ack_last_in_outbox; }
  // (ack_through, NACKs): at most 32 NACKs, and ack_through never covers a gap the NACKs
  // do not name.
  std::pair<std::uint32_t, std::vector<std::uint32_t>> wire_ack_and_nacks() const;
  // Retires acknowledged records and resends NACKed ones at once (each once until its
  // next timed resend).
  Result<void> process_acks(const StreamingPacket& packet, std::uint64_t now_ms);
  // The packet's signature against the peer (or the peer's remembered transient key);
  // remembers a newly verified transient key.
  bool verify_peer_signature(const StreamingPacket& packet);

  // A packet addressed to this connection by its local stream id. An error leaves the
  // connection as it was.
  Result<void> receive(const StreamingPacket& packet, std::uint64_t now_ms);

  // The timed resend: every record unacknowledged for base_interval_ms doubled per resend
  // so far (at most 60 s) is queued again. A record due after 8 resends ends the
  // connection in Reset. True when something was queued or the connection ended.
  bool resend_due(std::uint64_t now_ms, std::uint64_t base_interval_ms);

 private:
  void push_outbox(Bytes envelope);
  // Queues the record's envelope again (made now if it could not be before).
  Result<void> resend(UnackedPacket& record);
  // The steps of receive, in the order it takes them.
  bool signed_by_peer(const StreamingPacket& packet);
  Result<void> take_reset(const StreamingPacket& packet);
  bool awaiting_syn_ack() const;
  Result<void> take_syn_ack(const StreamingPacket& packet, std::uint64_t now_ms);
  Result<void> readdress_unaddressed_packets(std::uint64_t now_ms);
  Result<void> check_close_signature(const StreamingPacket& packet);
  Result<void> take_control_packet(const StreamingPacket& packet);
  Result<void> take_data(const StreamingPacket& packet, std::uint64_t now_ms);

  // Data and CLOSE about to carry the acknowledgement fields: nothing waits any more, and
  // an unsent plain ACK says nothing they do not.
  void acknowledgement_rides_along();
  void deliver_in_order(const StreamingPacket& packet);
  void drain_out_of_order();
  std::size_t held_bytes() const;
  void take_peer_close_when_complete();
};

}  // namespace streaming
