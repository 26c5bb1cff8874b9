#include "streaming/manager.h"

#include <algorithm>
#include <string>
#include <utility>

namespace streaming {

namespace {

template <typename T>
void push_bounded(std::deque<T>& queue, T entry) {
  if (queue.size() >= kMaxDatagramQueue) queue.pop_front();
  queue.push_back(std::move(entry));
}

// The SYN-ACK of an inbound connection. Signing is deterministic, so building it again
// gives the bytes sent the first time.
Result<StreamingPacket> syn_ack_of(const StreamConnection& c) {
  StreamingPacket p;
  p.send_stream_id = c.remote_stream_id;
  p.receive_stream_id = c.local_stream_id;
  p.flags = kSynchronize | kSignatureIncluded | kFromIncluded | kMaxPacketSizeIncluded;
  p.from = c.own_destination;
  p.max_packet_size = static_cast<std::uint16_t>(c.max_payload);
  return p.sign_ed25519(c.signing_key);
}

bool live(const StreamConnection& c) {
  return c.state == StreamState::Established || c.state == StreamState::CloseSent;
}

}  // namespace

StreamManager StreamManager::create(common::Destination own, const crypto::Ed25519SigningKey& key,
                                    std::uint32_t first_stream_id) {
  StreamManager m;
  m.own_destination = std::move(own);
  m.signing_key = key;
  m.next_stream_id = first_stream_id == 0 ? 1 : first_stream_id;
  return m;
}

std::uint32_t StreamManager::take_stream_id() {
  const std::uint32_t id = next_stream_id;
  next_stream_id = id == 0xFFFFFFFF ? 1 : id + 1;
  return id;
}

Result<ConnectionPtr> StreamManager::connect(const common::Hash& peer, std::uint64_t now_ms, std::uint16_t from_port,
                                             std::uint16_t to_port) {
  if (connections.size() >= kMaxConnections) return fail(StreamingError::Protocol, "too many connections");
  auto c = std::make_shared<StreamConnection>();
  c->deflater = deflater;
  c->own_destination = own_destination;
  c->signing_key = signing_key;
  c->peer_hash = peer;
  c->from_port = from_port;
  c->to_port = to_port;
  c->local_stream_id = take_stream_id();

  StreamingPacket syn;
  syn.receive_stream_id = c->local_stream_id;
  syn.nacks = hash_to_nacks(peer);
  syn.flags = kSynchronize | kSignatureIncluded | kFromIncluded | kMaxPacketSizeIncluded | kNoAck;
  syn.from = own_destination;
  syn.max_packet_size = static_cast<std::uint16_t>(kDefaultMaxPayload);
  auto signed_syn = syn.sign_ed25519(signing_key);
  if (!signed_syn) return std::unexpected(std::move(signed_syn.error()));
  auto queued = c->queue_packet(*signed_syn, now_ms, true);
  if (!queued) return std::unexpected(std::move(queued.error()));
  connections.push_back(c);
  return c;
}

Result<ConnectionPtr> StreamManager::accept_syn(const StreamingPacket& syn, const encoding::I2cpGzipHeader& header,
                                                std::uint64_t now_ms) {
  const std::uint32_t id = take_stream_id();
  if (!syn.from) return fail(StreamingError::InvalidFormat, "incoming SYN missing FROM_INCLUDED");
  if (!syn.verify_signature(*syn.from)) return fail(StreamingError::InvalidSignature);
  if (syn.nacks.size() == 8 && syn.nacks != hash_to_nacks(own_destination.keys_and_cert.hash())) {
    return fail(StreamingError::Protocol, "SYN destination hash NACK mismatch");
  }
  const common::Hash peer = syn.from->keys_and_cert.hash();

  // A SYN sent again (or duplicated on the way) belongs to the connection it opened: it
  // gets that connection's SYN-ACK again, not a second connection.
  for (const ConnectionPtr& existing : connections) {
    if (!existing->inbound || !live(*existing) || existing->peer_hash != peer ||
        existing->remote_stream_id != syn.receive_stream_id) {
      continue;
    }
    auto syn_ack = syn_ack_of(*existing);
    if (!syn_ack) return std::unexpected(std::move(syn_ack.error()));
    for (UnackedPacket& u : existing->unacked) {
      if (u.seq == 0) u.last_send_ms = now_ms;
    }
    auto queued = existing->queue_packet(*syn_ack, now_ms, false);
    if (!queued) return std::unexpected(std::move(queued.error()));
    return existing;
  }

  if (connections.size() >= kMaxConnections || accept_queue.size() >= kMaxAcceptQueue) {
    return fail(StreamingError::Protocol, "too many inbound connections, SYN dropped");
  }

  auto c = std::make_shared<StreamConnection>();
  c->deflater = deflater;
  c->own_destination = own_destination;
  c->signing_key = signing_key;
  c->peer_destination = syn.from;
  if (syn.has(kOfflineSignature) && syn.offline_signature) c->peer_transient_key = syn.offline_signature->transient_key;
  c->peer_hash = peer;
  c->from_port = header.dst_port;
  c->to_port = header.src_port;
  c->local_stream_id = id;
  c->remote_stream_id = syn.receive_stream_id;
  c->state = StreamState::Established;
  c->next_expected = 1;
  c->peer_known = true;
  c->inbound = true;
  if (syn.max_packet_size && *syn.max_packet_size >= kMinMaxPayload && *syn.max_packet_size <= kDefaultMaxPayload) {
    c->max_payload = *syn.max_packet_size;
  }
  c->recv_buf = syn.payload;
  c->peer_closed = syn.has(kClose);

  auto syn_ack = syn_ack_of(*c);
  if (!syn_ack) return std::unexpected(std::move(syn_ack.error()));
  auto queued = c->queue_packet(*syn_ack, now_ms, true);
  if (!queued) return std::unexpected(std::move(queued.error()));
  connections.push_back(c);
  accept_queue.push_back(c);
  return c;
}

Result<ConnectionPtr> StreamManager::handle_incoming_i2cp(ByteView envelope, std::uint64_t now_ms) {
  auto opened = encoding::i2cp_gzip_unwrap(envelope);
  if (!opened) return wrap(StreamingError::Encoding, std::move(opened.error()));
  switch (opened->header.protocol) {
    case kProtocolRepliableDatagram: {
      auto datagram = RepliableDatagram::decode(opened->payload);
      if (!datagram) return std::unexpected(std::move(datagram.error()));
      if (datagram->verify()) push_bounded(dht_datagrams, std::pair{opened->header, std::move(*datagram)});
      return nullptr;
    }
    case kProtocolRawDatagram:
      push_bounded(raw_datagrams, std::pair{opened->header, std::move(opened->payload)});
      return nullptr;
    case kProtocolStreaming: break;
    default: return nullptr;
  }

  auto packet = StreamingPacket::decode(opened->payload);
  if (!packet) return std::unexpected(std::move(packet.error()));
  if (packet->send_stream_id != 0) {
    auto found = std::find_if(connections.begin(), connections.end(),
                              [&](const ConnectionPtr& c) { return c->local_stream_id == packet->send_stream_id; });
    if (found == connections.end()) return nullptr;
    ConnectionPtr c = *found;
    auto received = c->receive(*packet, now_ms);
    if (!received) return std::unexpected(std::move(received.error()));
    return c;
  }
  if (packet->has(kSynchronize)) return accept_syn(*packet, opened->header, now_ms);
  return nullptr;
}

bool StreamManager::resend_due(std::uint64_t now_ms, std::uint64_t base_interval_ms) {
  bool did_work = false;
  for (const ConnectionPtr& c : connections) did_work |= c->resend_due(now_ms, base_interval_ms);
  return did_work;
}

bool StreamManager::send_due_acks(std::uint64_t now_ms) {
  bool did_work = false;
  for (const ConnectionPtr& c : connections) did_work |= c->send_due_ack(now_ms);
  return did_work;
}

std::string error_text(const Error& error) {
  const std::optional<StreamingError> variant = error.as<StreamingError>();
  if (!variant) return to_string(error);
  switch (*variant) {
    case StreamingError::Protocol: return "protocol error: " + std::string(error.message());
    case StreamingError::InvalidSignature: return "invalid signature";
    case StreamingError::InvalidLength: return "invalid length: " + std::string(error.message());
    case StreamingError::InvalidFormat: return "invalid format: " + std::string(error.message());
    case StreamingError::Crypto: return "crypto error";
    case StreamingError::Common: return "common decode error";
    case StreamingError::Encoding: return "encoding error";
  }
  return to_string(error);
}

}  // namespace streaming
