#include "streaming/connection.h"

#include <algorithm>
#include <utility>

#include "crypto/ed25519.h"

namespace streaming {

namespace {

// A NACK list never names more than this many gaps, and ack_through stops before a gap
// that would need more.
constexpr std::size_t kMaxAckNacks = 32;

// ECHO, or a requested delay of 0: the sender wants its answer without delay.
bool asks_for_answer_now(const StreamingPacket& packet) {
  return packet.has(kEcho) || (packet.delay_requested && *packet.delay_requested == 0);
}

}  // namespace

void StreamConnection::push_outbox(Bytes envelope) {
  if (outbox.size() >= kMaxOutbox) outbox.pop_front();
  outbox.push_back(std::move(envelope));
  ack_last_in_outbox = false;
}

std::size_t StreamConnection::held_bytes() const {
  std::size_t n = recv_buf.size();
  for (const auto& [seq, bytes] : out_of_order) n += bytes.size();
  return n;
}

Result<Bytes> StreamConnection::envelope_of(const StreamingPacket& packet) {
  if (deflater) return encode_i2cp_streaming(packet, from_port, to_port, *deflater);
  return encode_i2cp_streaming(packet, from_port, to_port);
}

Result<void> StreamConnection::queue_packet(const StreamingPacket& packet, std::uint64_t now_ms, bool tracked) {
  auto envelope = envelope_of(packet);
  if (tracked) {
    unacked.push_back(UnackedPacket{packet.seq, packet, now_ms, 0, false, envelope ? *envelope : Bytes{}});
  }
  if (!envelope) return std::unexpected(std::move(envelope.error()));
  push_outbox(std::move(*envelope));
  return {};
}

Result<void> StreamConnection::resend(UnackedPacket& record) {
  if (record.envelope.empty()) {
    auto envelope = envelope_of(record.packet);
    if (!envelope) return std::unexpected(std::move(envelope.error()));
    record.envelope = std::move(*envelope);
  }
  push_outbox(record.envelope);
  return {};
}

std::pair<std::uint32_t, std::vector<std::uint32_t>> StreamConnection::wire_ack_and_nacks() const {
  std::vector<std::uint32_t> ahead;
  for (const auto& [seq, bytes] : out_of_order) {
    if (seq >= next_expected) ahead.push_back(seq);
  }
  std::sort(ahead.begin(), ahead.end());
  ahead.erase(std::unique(ahead.begin(), ahead.end()), ahead.end());
  std::uint32_t answer = in_order_through;
  std::vector<std::uint32_t> nacks;
  std::uint32_t cursor = next_expected;
  for (std::uint32_t s : ahead) {
    if (s < cursor) continue;
    const std::uint32_t gap = s - cursor;
    if (gap > kMaxAckNacks || nacks.size() + gap > kMaxAckNacks) break;
    for (std::uint32_t n = cursor; n < s; ++n) nacks.push_back(n);
    cursor = s + 1;
    answer = s;
  }
  return {answer, std::move(nacks)};
}

Result<void> StreamConnection::send_ack() {
  StreamingPacket p;
  p.send_stream_id = remote_stream_id;
  p.receive_stream_id = local_stream_id;
  std::tie(p.ack_through, p.nacks) = wire_ack_and_nacks();
  auto envelope = envelope_of(p);
  if (!envelope) return std::unexpected(std::move(envelope.error()));
  if (ack_last_in_outbox && !outbox.empty()) {
    outbox.back() = std::move(*envelope);
  } else {
    push_outbox(std::move(*envelope));
  }
  ack_last_in_outbox = true;
  unacked_arrivals = 0;
  ack_due.reset();
  return {};
}

bool StreamConnection::send_due_ack(std::uint64_t now_ms) {
  if (!ack_due || now_ms < *ack_due) return false;
  // Taken off first: an ACK that cannot be made must not keep the loop's wait at zero.
  ack_due.reset();
  if (state == StreamState::Reset) return false;
  return send_ack().has_value();
}

void StreamConnection::acknowledgement_rides_along() {
  if (!peer_known) return;  // NO_ACK: the fields say nothing yet
  if (ack_last_in_outbox && !outbox.empty()) {
    outbox.pop_back();
    ack_last_in_outbox = false;
  }
  unacked_arrivals = 0;
  ack_due.reset();
}

Result<std::size_t> StreamConnection::write(ByteView data, std::uint64_t now_ms) {
  if (state != StreamState::SynSent && state != StreamState::Established) {
    return fail(StreamingError::Protocol, "cannot write on closed or reset stream");
  }
  std::size_t taken = 0;
  if (unacked.size() < static_cast<std::size_t>(window) && !data.empty()) acknowledgement_rides_along();
  while (unacked.size() < static_cast<std::size_t>(window) && taken < data.size()) {
    const std::size_t length = std::min(static_cast<std::size_t>(max_payload), data.size() - taken);
    StreamingPacket p;
    p.send_stream_id = remote_stream_id;
    p.receive_stream_id = local_stream_id;
    p.seq = next_seq++;
    std::tie(p.ack_through, p.nacks) = wire_ack_and_nacks();
    p.flags = peer_known ? 0 : kNoAck;
    p.payload = slice_bytes(data, taken, length);
    auto queued = queue_packet(p, now_ms, true);
    if (!queued) return std::unexpected(std::move(queued.error()));
    taken += length;
  }
  return taken;
}

Result<void> StreamConnection::close(std::uint64_t now_ms) {
  if (state == StreamState::Closed || state == StreamState::Reset) return {};
  StreamingPacket p;
  p.send_stream_id = remote_stream_id;
  p.receive_stream_id = local_stream_id;
  p.seq = next_seq;
  std::tie(p.ack_through, p.nacks) = wire_ack_and_nacks();
  p.flags = static_cast<std::uint16_t>(kClose | kSignatureIncluded | (peer_known ? 0 : kNoAck));
  auto signed_packet = p.sign_ed25519(signing_key);
  if (!signed_packet) return std::unexpected(std::move(signed_packet.error()));
  acknowledgement_rides_along();
  auto queued = queue_packet(*signed_packet, now_ms, true);
  if (!queued) return queued;
  ++next_seq;
  state = peer_closed ? StreamState::Closed : StreamState::CloseSent;
  return {};
}

Bytes StreamConnection::read_available() {
  Bytes out;
  out.swap(recv_buf);
  return out;
}

Result<void> StreamConnection::process_acks(const StreamingPacket& packet, std::uint64_t now_ms) {
  if (!ack_seen || highest_ack < packet.ack_through) {
    ack_seen = true;
    highest_ack = packet.ack_through;
  }
  auto nacked = [&](std::uint32_t seq) {
    return std::find(packet.nacks.begin(), packet.nacks.end(), seq) != packet.nacks.end();
  };
  const std::size_t before = unacked.size();
  std::erase_if(unacked, [&](const UnackedPacket& u) { return u.seq <= packet.ack_through && !nacked(u.seq); });
  // The peer is there: what is left starts its back-off afresh.
  if (unacked.size() < before) {
    for (UnackedPacket& u : unacked) u.resends = 0;
  }
  for (std::uint32_t seq : packet.nacks) {
    auto record = std::find_if(unacked.begin(), unacked.end(), [&](const UnackedPacket& u) { return u.seq == seq; });
    if (record == unacked.end() || record->nack_resent) continue;
    record->nack_resent = true;
    record->last_send_ms = now_ms;
    auto resent = resend(*record);
    if (!resent) return resent;
  }
  return {};
}

bool StreamConnection::verify_peer_signature(const StreamingPacket& packet) {
  if (packet.has(kOfflineSignature)) {
    if (!peer_destination) return false;
    if (!packet.verify_signature(*peer_destination)) return false;
    peer_transient_key = packet.offline_signature->transient_key;
    return true;
  }
  if (peer_transient_key && packet.has(kSignatureIncluded) && peer_transient_key->size() == 32 && packet.signature) {
    auto zeroed = encode_with_opt_zero_sig(packet, static_cast<int>(packet.signature->size()));
    if (zeroed && crypto::ed25519_verify(*peer_transient_key, *zeroed, *packet.signature)) return true;
  }
  if (!peer_destination) return false;
  return packet.verify_signature(*peer_destination);
}

void StreamConnection::deliver_in_order(const StreamingPacket& packet) {
  recv_buf.insert(recv_buf.end(), packet.payload.begin(), packet.payload.end());
  in_order_through = packet.seq;
  next_expected = packet.seq + 1;
  drain_out_of_order();
}

void StreamConnection::drain_out_of_order() {
  for (;;) {
    auto next = std::find_if(out_of_order.begin(), out_of_order.end(),
                             [&](const auto& entry) { return entry.first == next_expected; });
    if (next == out_of_order.end()) return;
    recv_buf.insert(recv_buf.end(), next->second.begin(), next->second.end());
    in_order_through = next_expected++;
    out_of_order.erase(next);
  }
}

void StreamConnection::take_peer_close_when_complete() {
  if (peer_closed || !peer_close_seq || in_order_through < *peer_close_seq) return;
  peer_closed = true;
  if (state == StreamState::CloseSent) state = StreamState::Closed;
}

// RESET and CLOSE end the stream: only the peer may send them, so they count only when
// signed by it. Before the SYN-ACK the peer is known by its hash alone: a RESET refusing the
// connection is checked against the FROM it carries when that is the peer.
bool StreamConnection::signed_by_peer(const StreamingPacket& packet) {
  if (!packet.has(kSignatureIncluded)) return false;
  if (!peer_destination && !peer_transient_key && packet.from && packet.from->keys_and_cert.hash() == peer_hash) {
    return packet.verify_signature(*packet.from);
  }
  return verify_peer_signature(packet);
}

Result<void> StreamConnection::take_reset(const StreamingPacket& packet) {
  if (!signed_by_peer(packet)) return fail(StreamingError::InvalidSignature);
  state = StreamState::Reset;
  peer_closed = true;
  return {};
}

// The first SYNCHRONIZE of an outbound connection, also when it was closed before the
// answer came.
bool StreamConnection::awaiting_syn_ack() const {
  return !inbound && !peer_known && (state == StreamState::SynSent || state == StreamState::CloseSent);
}

Result<void> StreamConnection::take_syn_ack(const StreamingPacket& packet, std::uint64_t now_ms) {
  // The SYN-ACK sets the peer: it must come, signed, from the destination connected to.
  if (!packet.has(kSignatureIncluded)) return fail(StreamingError::InvalidSignature);
  if (!packet.from) return fail(StreamingError::InvalidFormat, "SYN-ACK SIGNATURE_INCLUDED missing peer Destination");
  if (packet.from->keys_and_cert.hash() != peer_hash) {
    return fail(StreamingError::Protocol, "SYN-ACK FROM is not the destination connected to");
  }
  if (!packet.verify_signature(*packet.from)) return fail(StreamingError::InvalidSignature);
  peer_destination = packet.from;
  if (packet.offline_signature) peer_transient_key = packet.offline_signature->transient_key;
  remote_stream_id = packet.receive_stream_id;
  if (packet.max_packet_size && *packet.max_packet_size >= kMinMaxPayload && *packet.max_packet_size < max_payload) {
    max_payload = *packet.max_packet_size;
  }
  peer_known = true;
  next_expected = 1;
  in_order_through = 0;
  if (state == StreamState::SynSent) state = StreamState::Established;
  if (!packet.has(kNoAck)) {
    auto acked = process_acks(packet, now_ms);
    if (!acked) return acked;
  }
  auto readdressed = readdress_unaddressed_packets(now_ms);
  if (!readdressed) return readdressed;
  recv_buf.insert(recv_buf.end(), packet.payload.begin(), packet.payload.end());
  // Data that overtook the SYN-ACK waits from sequence number 1.
  drain_out_of_order();
  if (packet.has(kClose)) peer_close_seq = 0;
  take_peer_close_when_complete();
  return send_ack();
}

// Packets written before the peer's id was known went out addressed to no stream and were
// dropped by the peer: they go again at once, addressed (and signed) anew.
Result<void> StreamConnection::readdress_unaddressed_packets(std::uint64_t now_ms) {
  for (UnackedPacket& u : unacked) {
    if (u.seq == 0 || u.packet.send_stream_id != 0) continue;
    u.packet.send_stream_id = remote_stream_id;
    if (u.packet.has(kSignatureIncluded)) {
      auto resigned = u.packet.sign_ed25519(signing_key);
      if (!resigned) return std::unexpected(std::move(resigned.error()));
      u.packet = std::move(*resigned);
    }
    u.last_send_ms = now_ms;
    u.envelope.clear();
    auto resent = resend(u);
    if (!resent) return resent;
  }
  return {};
}

Result<void> StreamConnection::check_close_signature(const StreamingPacket& packet) {
  if (!packet.has(kSignatureIncluded)) return fail(StreamingError::InvalidSignature);
  if (!peer_destination && !peer_transient_key) {
    return fail(StreamingError::InvalidFormat, "CLOSE SIGNATURE_INCLUDED missing peer Destination");
  }
  if (!verify_peer_signature(packet)) return fail(StreamingError::InvalidSignature);
  return {};
}

// A packet without data (sequence number 0, or a SYN again): answered only when it asks.
Result<void> StreamConnection::take_control_packet(const StreamingPacket& packet) {
  take_peer_close_when_complete();
  if (packet.has(kSynchronize) || packet.has(kClose) || asks_for_answer_now(packet)) return send_ack();
  return {};
}

Result<void> StreamConnection::take_data(const StreamingPacket& packet, std::uint64_t now_ms) {
  // A sender waiting on a gap learns of it (or of its filling) at once: it resends what the
  // NACKs name instead of waiting for its timer.
  const bool gap_before = std::any_of(out_of_order.begin(), out_of_order.end(),
                                      [&](const auto& entry) { return entry.first >= next_expected; });
  bool in_order = false;
  if (packet.seq == next_expected) {
    if (held_bytes() + packet.payload.size() > kMaxUnreadBytes) return {};  // comes again once read
    deliver_in_order(packet);
    in_order = true;
  } else if (packet.seq > next_expected && packet.seq - next_expected < kMaxOutOfOrderAhead) {
    const bool stored = std::any_of(out_of_order.begin(), out_of_order.end(),
                                    [&](const auto& entry) { return entry.first == packet.seq; });
    if (!stored) {
      if (held_bytes() + packet.payload.size() > kMaxUnreadBytes) return {};
      out_of_order.emplace_back(packet.seq, packet.payload);
    }
  }
  take_peer_close_when_complete();
  const bool asks_now = packet.has(kClose) || asks_for_answer_now(packet);
  if (!in_order || gap_before || asks_now) return send_ack();
  // At the second packet the acknowledgement falls due at once, but it is made when the
  // connection's acknowledgements are sent (send_due_ack), after everything this pass
  // brought: a whole window arriving together gets one ACK, not one per two packets.
  if (++unacked_arrivals >= kAckEveryPackets) {
    ack_due = std::min(ack_due.value_or(now_ms), now_ms);
  } else if (!ack_due) {
    ack_due = now_ms + kAckDelayMs;
  }
  return {};
}

Result<void> StreamConnection::receive(const StreamingPacket& packet, std::uint64_t now_ms) {
  if (packet.has(kReset)) return take_reset(packet);
  if (packet.has(kSynchronize) && awaiting_syn_ack()) return take_syn_ack(packet, now_ms);
  if (packet.has(kClose)) {
    auto checked = check_close_signature(packet);
    if (!checked) return checked;
  }
  if (!packet.has(kNoAck)) {
    auto acked = process_acks(packet, now_ms);
    if (!acked) return acked;
  }
  if (packet.has(kClose) && !peer_close_seq) peer_close_seq = packet.seq;
  if (packet.seq == 0 || packet.has(kSynchronize)) return take_control_packet(packet);
  return take_data(packet, now_ms);
}

bool StreamConnection::resend_due(std::uint64_t now_ms, std::uint64_t base_interval_ms) {
  if (state == StreamState::Reset || unacked.empty()) return false;
  bool did_work = false;
  for (UnackedPacket& u : unacked) {
    const std::uint64_t interval =
        std::min<std::uint64_t>(base_interval_ms << std::min<std::uint32_t>(u.resends, 16), kMaxResendIntervalMs);
    if (now_ms < u.last_send_ms || now_ms - u.last_send_ms < interval) continue;
    if (u.resends >= kMaxResends) {
      // Nothing acknowledged through all the resends: the peer is gone.
      state = StreamState::Reset;
      unacked.clear();
      outbox.clear();
      return true;
    }
    ++u.resends;
    u.last_send_ms = now_ms;
    u.nack_resent = false;
    if (resend(u)) did_work = true;
  }
  return did_work;
}

}  // namespace streaming
