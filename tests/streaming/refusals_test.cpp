// What a connection refuses, one table per rule: SYN-ACKs from anyone but the destination
// connected to, RESET and CLOSE not signed by the peer, a SYN sent again, a CLOSE that
// overtook data, a peer that never answers, and everything a peer could grow without end.
#include <gtest/gtest.h>

#include "tests/streaming/stream_test_util.h"

namespace streaming::test {
namespace {

std::string text_of(const Result<ConnectionPtr>& r) { return r ? "accepted" : error_text(r.error()); }

TEST(StreamRefusals, SynAckOnlyFromTheDestinationConnectedToSignedByIt) {
  const Identity mallory = identity(0x66);
  Pair p;
  p.ac = *p.a.connect(p.bob.hash(), kT0, 0, 0);
  p.ac->outbox.clear();
  auto syn_ack_from = [&](const Identity& from, std::uint32_t id) {
    StreamingPacket s;
    s.send_stream_id = p.ac->local_stream_id;
    s.receive_stream_id = id;
    s.flags = kSynchronize | kFromIncluded | kMaxPacketSizeIncluded;
    s.from = from.destination;
    s.max_packet_size = 1000;
    return s;
  };
  StreamingPacket no_from = signed_by(syn_ack_from(p.bob, 7), p.bob);
  no_from.flags = static_cast<std::uint16_t>(no_from.flags & ~kFromIncluded);
  no_from = signed_by(no_from, p.bob);
  StreamingPacket forged_signature = signed_by(syn_ack_from(p.bob, 7), mallory);

  struct Case {
    const char* name;
    StreamingPacket packet;
    std::string error;
  };
  const Case cases[] = {
      {"unsigned, bob's FROM", syn_ack_from(p.bob, 7), "invalid signature"},
      {"signed by mallory as mallory", signed_by(syn_ack_from(mallory, 7), mallory),
       "protocol error: SYN-ACK FROM is not the destination connected to"},
      {"bob's FROM, mallory's signature", forged_signature, "invalid signature"},
      {"signed by bob, no FROM", no_from, "invalid format: SYN-ACK SIGNATURE_INCLUDED missing peer Destination"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text_of(p.a.handle_incoming_i2cp(envelope(c.packet), kT0)), c.error) << c.name;
    // The connection is as it was.
    EXPECT_EQ(p.ac->state, StreamState::SynSent) << c.name;
    EXPECT_EQ(p.ac->remote_stream_id, 0u) << c.name;
    EXPECT_FALSE(p.ac->peer_destination) << c.name;
    EXPECT_EQ(p.ac->max_payload, kDefaultMaxPayload) << c.name;
    EXPECT_EQ(p.ac->unacked.size(), 1u) << c.name;
    EXPECT_TRUE(p.ac->outbox.empty()) << c.name;
  }
  // Bob's own SYN-ACK is taken.
  EXPECT_EQ(text_of(p.a.handle_incoming_i2cp(envelope(signed_by(syn_ack_from(p.bob, 7), p.bob)), kT0)), "accepted");
  EXPECT_EQ(p.ac->state, StreamState::Established);
  EXPECT_EQ(p.ac->remote_stream_id, 7u);
  EXPECT_EQ(p.ac->peer_destination, p.bob.destination);
  EXPECT_EQ(p.ac->max_payload, 1000);
  EXPECT_TRUE(p.ac->unacked.empty());  // its acknowledgement retired the SYN
}

TEST(StreamRefusals, ResetAndCloseOnlySignedByThePeer) {
  const Identity mallory = identity(0x66);
  struct Case {
    const char* name;
    std::uint16_t flags;
    const Identity* signer;  // null: unsigned
    std::string error;
  };
  Pair proto;
  const Case cases[] = {
      {"unsigned RESET", kReset, nullptr, "invalid signature"},
      {"RESET signed by mallory", kReset, &mallory, "invalid signature"},
      {"unsigned CLOSE", kClose, nullptr, "invalid signature"},
      {"CLOSE signed by mallory", kClose, &mallory, "invalid signature"},
      {"RESET signed by alice", kReset, &proto.alice, "accepted"},
      {"CLOSE signed by alice", kClose, &proto.alice, "accepted"},
  };
  for (const Case& c : cases) {
    Pair p;
    p.establish();
    StreamingPacket packet = p.data_to_bob(c.flags == kClose ? 1 : 0, {});
    packet.flags = c.flags;
    if (c.signer != nullptr) packet = signed_by(packet, *c.signer);
    EXPECT_EQ(text_of(p.b.handle_incoming_i2cp(envelope(packet), kT0)), c.error) << c.name;
    const bool taken = c.error == "accepted";
    EXPECT_EQ(p.bc->peer_closed, taken) << c.name;
    EXPECT_EQ(p.bc->state, c.flags == kReset && taken ? StreamState::Reset : StreamState::Established) << c.name;
    EXPECT_EQ(p.bc->next_expected, c.flags == kClose && taken ? 2u : 1u) << c.name;
  }
}

TEST(StreamRefusals, BeforeTheSynAckOnlyTheDestinationConnectedToResetsTheConnection) {
  const Identity mallory = identity(0x66);
  Pair p;
  p.ac = *p.a.connect(p.bob.hash(), kT0, 0, 0);
  auto reset_from = [&](const Identity& who) {
    StreamingPacket r;
    r.send_stream_id = p.ac->local_stream_id;
    r.flags = kReset | kFromIncluded;
    r.from = who.destination;
    return signed_by(r, who);
  };
  EXPECT_EQ(text_of(p.a.handle_incoming_i2cp(envelope(reset_from(mallory)), kT0)), "invalid signature");
  EXPECT_EQ(p.ac->state, StreamState::SynSent);
  EXPECT_EQ(text_of(p.a.handle_incoming_i2cp(envelope(reset_from(p.bob)), kT0)), "accepted");
  EXPECT_EQ(p.ac->state, StreamState::Reset);
}

TEST(StreamRefusals, CloseUnderAnOfflineSignatureOfThePeerIsTakenAndItsKeyRemembered) {
  Pair p;
  p.establish();
  const Identity transient = identity(0x77);
  common::OfflineSignature block;
  block.expires = 1700000000;
  const Bytes key = transient.destination.keys_and_cert.signing_public_key();
  block.transient_key = key;
  const auto sig = *crypto::ed25519_sign(p.alice.seed, block.unsigned_bytes());
  block.signature.assign(sig.begin(), sig.end());

  StreamingPacket close = p.data_to_bob(1, {});
  close.flags = kClose | kOfflineSignature;
  close.offline_signature = block;
  // The transient key signs; an offline block signed by anyone else is refused.
  common::OfflineSignature forged = block;
  forged.signature[0] ^= 1;
  StreamingPacket forged_close = close;
  forged_close.offline_signature = forged;
  EXPECT_EQ(text_of(p.b.handle_incoming_i2cp(envelope(signed_by(forged_close, transient)), kT0)), "invalid signature");
  EXPECT_FALSE(p.bc->peer_transient_key);
  EXPECT_EQ(text_of(p.b.handle_incoming_i2cp(envelope(signed_by(close, transient)), kT0)), "accepted");
  EXPECT_EQ(p.bc->peer_transient_key, key);
  EXPECT_TRUE(p.bc->peer_closed);
  // Later packets signed by the remembered key alone are taken too.
  StreamingPacket reset = p.data_to_bob(0, {});
  reset.flags = kReset;
  EXPECT_EQ(text_of(p.b.handle_incoming_i2cp(envelope(signed_by(reset, transient)), kT0)), "accepted");
  EXPECT_EQ(p.bc->state, StreamState::Reset);
}

TEST(StreamRefusals, ASynSentAgainGetsItsConnectionsSynAckAgain) {
  Pair p;
  p.ac = *p.a.connect(p.bob.hash(), kT0, 0, 0);
  const Bytes syn = p.ac->outbox.front();
  auto first = p.b.handle_incoming_i2cp(syn, kT0);
  ASSERT_TRUE(first && *first);
  const std::vector<StreamingPacket> syn_ack = take_packets(**first);
  ASSERT_EQ(syn_ack.size(), 1u);
  for (int again = 0; again < 3; ++again) {
    auto repeated = p.b.handle_incoming_i2cp(syn, kT0 + 100);
    ASSERT_TRUE(repeated);
    EXPECT_EQ(*repeated, *first);
    EXPECT_EQ(take_packets(**repeated), syn_ack);
  }
  EXPECT_EQ(p.b.connections.size(), 1u);
  EXPECT_EQ(p.b.accept_queue.size(), 1u);
  EXPECT_EQ((*first)->unacked.size(), 1u);
  EXPECT_EQ((*first)->unacked[0].last_send_ms, kT0 + 100);

  // Another stream of the same peer is another connection.
  auto second = p.a.connect(p.bob.hash(), kT0, 0, 0);
  auto other = p.b.handle_incoming_i2cp((*second)->outbox.front(), kT0);
  ASSERT_TRUE(other && *other);
  EXPECT_NE(*other, *first);
  EXPECT_EQ(p.b.connections.size(), 2u);
}

TEST(StreamRefusals, ACloseThatOvertookDataTakesEffectOnceTheDataArrived) {
  Pair p;
  p.establish();
  EXPECT_TRUE(p.ac->write(Bytes(10, 'a'), kT0));
  EXPECT_TRUE(p.ac->write(Bytes(10, 'b'), kT0));
  EXPECT_TRUE(p.ac->close(kT0));
  std::deque<Bytes> sent;
  sent.swap(p.ac->outbox);
  ASSERT_EQ(sent.size(), 3u);
  // The CLOSE (seq 3) first, then the data in reverse order.
  struct Step {
    std::size_t packet;
    bool peer_closed;
    std::size_t bytes_readable;
  };
  const Step steps[] = {{2, false, 0}, {1, false, 0}, {0, true, 20}};
  for (const Step& s : steps) {
    ASSERT_TRUE(p.b.handle_incoming_i2cp(sent[s.packet], kT0));
    EXPECT_EQ(p.bc->peer_closed, s.peer_closed) << s.packet;
    EXPECT_EQ(p.bc->recv_buf.size(), s.bytes_readable) << s.packet;
  }
  Bytes expected(20, 'b');
  std::fill_n(expected.begin(), 10, 'a');
  EXPECT_EQ(p.bc->read_available(), expected);
  // Bob's close ends both sides.
  ASSERT_TRUE(p.bc->close(kT0));
  EXPECT_EQ(p.bc->state, StreamState::Closed);
  ASSERT_TRUE(Pair::deliver(*p.bc, p.a));
  EXPECT_EQ(p.ac->state, StreamState::Closed);
}

TEST(StreamRefusals, UnacknowledgedPacketsBackOffAndAVanishedPeerEndsInReset) {
  Pair p;
  p.establish();
  ASSERT_EQ(p.ac->write(Bytes(100, 'x'), kT0), 100u);
  p.ac->outbox.clear();
  // Resent after 1.5 s, then 3, 6, 12, 24, 48, 60 and 60 s more; due once more, the
  // connection gives up.
  const std::uint64_t gaps[] = {1500, 3000, 6000, 12000, 24000, 48000, 60000, 60000};
  std::uint64_t t = kT0;
  for (std::uint64_t gap : gaps) {
    EXPECT_FALSE(p.ac->resend_due(t + gap - 1, 1500)) << gap;
    EXPECT_TRUE(p.ac->outbox.empty());
    t += gap;
    EXPECT_TRUE(p.ac->resend_due(t, 1500)) << gap;
    EXPECT_EQ(take_packets(*p.ac).size(), 1u) << gap;
    EXPECT_EQ(p.ac->state, StreamState::Established);
  }
  EXPECT_FALSE(p.ac->resend_due(t + 59999, 1500));
  EXPECT_TRUE(p.ac->resend_due(t + 60000, 1500));
  EXPECT_EQ(p.ac->state, StreamState::Reset);
  EXPECT_TRUE(p.ac->unacked.empty());
  EXPECT_TRUE(p.ac->outbox.empty());
  auto write = p.ac->write(Bytes(1, 'y'), t);
  ASSERT_FALSE(write);
  EXPECT_EQ(error_text(write.error()), "protocol error: cannot write on closed or reset stream");
}

TEST(StreamRefusals, AnAcknowledgementStartsTheBackOffAfresh) {
  Pair p;
  p.establish();
  ASSERT_EQ(p.ac->write(Bytes(2 * kDefaultMaxPayload, 'x'), kT0), 2u * kDefaultMaxPayload);
  p.ac->outbox.clear();
  EXPECT_TRUE(p.ac->resend_due(kT0 + 1500, 1500));
  EXPECT_TRUE(p.ac->resend_due(kT0 + 4500, 1500));
  EXPECT_EQ(p.ac->unacked[1].resends, 2u);
  // Bob got packet 1 only: packet 2 starts again at 1.5 s.
  StreamingPacket ack;
  ack.send_stream_id = p.ac->local_stream_id;
  ack.receive_stream_id = p.bc->local_stream_id;
  ack.ack_through = 1;
  ASSERT_TRUE(p.a.handle_incoming_i2cp(envelope(ack), kT0 + 5000));
  ASSERT_EQ(p.ac->unacked.size(), 1u);
  EXPECT_EQ(p.ac->unacked[0].resends, 0u);
  EXPECT_TRUE(p.ac->resend_due(kT0 + 4500 + 1500, 1500));
}

TEST(StreamRefusals, NackedPacketIsResentOnceUntilItsNextTimedResend) {
  Pair p;
  p.establish();
  ASSERT_EQ(p.ac->write(Bytes(3 * kDefaultMaxPayload, 'x'), kT0), 3u * kDefaultMaxPayload);
  p.ac->outbox.clear();
  StreamingPacket ack;
  ack.send_stream_id = p.ac->local_stream_id;
  ack.receive_stream_id = p.bc->local_stream_id;
  ack.ack_through = 3;
  ack.nacks = {2, 2, 9};  // 9 was never sent
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(p.a.handle_incoming_i2cp(envelope(ack), kT0 + 10));
  std::vector<StreamingPacket> resent = take_packets(*p.ac);
  ASSERT_EQ(resent.size(), 1u);
  EXPECT_EQ(resent[0].seq, 2u);
  EXPECT_EQ(p.ac->unacked.size(), 1u);
  EXPECT_EQ(p.ac->unacked[0].last_send_ms, kT0 + 10);
  EXPECT_TRUE(p.ac->resend_due(kT0 + 1510, 1500));
  EXPECT_EQ(take_packets(*p.ac).size(), 1u);
  ASSERT_TRUE(p.a.handle_incoming_i2cp(envelope(ack), kT0 + 1520));
  EXPECT_EQ(take_packets(*p.ac).size(), 1u);
}

TEST(StreamRefusals, OutOfOrderDataOnlyLessThan128Ahead) {
  Pair p;
  p.establish();
  ASSERT_TRUE(p.b.handle_incoming_i2cp(envelope(p.data_to_bob(1 + 127, {1})), kT0));
  ASSERT_TRUE(p.b.handle_incoming_i2cp(envelope(p.data_to_bob(1 + 128, {2})), kT0));
  ASSERT_EQ(p.bc->out_of_order.size(), 1u);
  EXPECT_EQ(p.bc->out_of_order[0].first, 128u);
}

TEST(StreamRefusals, AtMost1MiBReceivedAndUnreadTheRestComesAgainLater) {
  Pair p;
  p.establish();
  const Bytes chunk(1000, 'z');
  std::uint32_t seq = 1;
  for (; seq <= kMaxUnreadBytes / chunk.size(); ++seq) {
    ASSERT_TRUE(p.b.handle_incoming_i2cp(envelope(p.data_to_bob(seq, chunk)), kT0));
  }
  p.bc->outbox.clear();
  // One more does not fit: dropped and not acknowledged, also when ahead of the others.
  ASSERT_TRUE(p.b.handle_incoming_i2cp(envelope(p.data_to_bob(seq, Bytes(577, 'q'))), kT0));
  ASSERT_TRUE(p.b.handle_incoming_i2cp(envelope(p.data_to_bob(seq + 1, Bytes(577, 'q'))), kT0));
  EXPECT_TRUE(p.bc->outbox.empty());
  EXPECT_EQ(p.bc->next_expected, seq);
  EXPECT_TRUE(p.bc->out_of_order.empty());
  // Once read, it is taken.
  EXPECT_EQ(p.bc->read_available().size(), (seq - 1) * chunk.size());
  ASSERT_TRUE(p.b.handle_incoming_i2cp(envelope(p.data_to_bob(seq, Bytes(577, 'q'))), kT0));
  EXPECT_EQ(p.bc->next_expected, seq + 1);
  EXPECT_TRUE(p.bc->send_due_ack(kT0 + kAckDelayMs));
  EXPECT_EQ(take_packets(*p.bc).size(), 1u);
}

TEST(StreamRefusals, AcceptQueueAndConnectionsAreBounded) {
  Pair p;
  std::vector<Bytes> syns;
  for (std::size_t i = 0; i <= kMaxAcceptQueue; ++i) {
    auto c = p.a.connect(p.bob.hash(), kT0, 0, 0);
    syns.push_back((*c)->outbox.front());
  }
  for (std::size_t i = 0; i < kMaxAcceptQueue; ++i) ASSERT_TRUE(p.b.handle_incoming_i2cp(syns[i], kT0)) << i;
  EXPECT_EQ(text_of(p.b.handle_incoming_i2cp(syns.back(), kT0)),
            "protocol error: too many inbound connections, SYN dropped");
  EXPECT_EQ(p.b.connections.size(), kMaxAcceptQueue);
  // Taken from the queue, more may come, up to the connection bound.
  p.b.accept_queue.clear();
  EXPECT_TRUE(p.b.handle_incoming_i2cp(syns.back(), kT0));
  while (p.b.connections.size() < kMaxConnections) p.b.connections.push_back(p.b.connections.front());
  auto over = p.a.connect(p.bob.hash(), kT0, 0, 0);
  EXPECT_EQ(text_of(p.b.handle_incoming_i2cp((*over)->outbox.front(), kT0)),
            "protocol error: too many inbound connections, SYN dropped");
  while (p.a.connections.size() < kMaxConnections) p.a.connections.push_back(p.a.connections.front());
  EXPECT_EQ(text_of(p.a.connect(p.bob.hash(), kT0, 0, 0)), "protocol error: too many connections");
}

TEST(StreamRefusals, DatagramQueuesKeepTheNewest256) {
  Pair p;
  for (std::uint32_t i = 0; i < 300; ++i) {
    const Bytes payload = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)};
    ASSERT_TRUE(p.b.handle_incoming_i2cp(encode_i2cp_raw_datagram(payload, 1, 2), kT0));
    ASSERT_TRUE(p.b.handle_incoming_i2cp(
        *encode_i2cp_repliable_datagram(p.alice.destination, p.alice.key, payload, 6881, 6882), kT0));
  }
  ASSERT_EQ(p.b.raw_datagrams.size(), kMaxDatagramQueue);
  ASSERT_EQ(p.b.dht_datagrams.size(), kMaxDatagramQueue);
  EXPECT_EQ(p.b.raw_datagrams.front().second, (Bytes{44, 0}));         // 300 - 256 = 44
  EXPECT_EQ(p.b.dht_datagrams.back().second.payload, (Bytes{43, 1}));  // 299
  EXPECT_EQ(p.b.dht_datagrams.back().first, (encoding::I2cpGzipHeader{6881, 6882, kProtocolRepliableDatagram}));
  // One signed by someone else than its sender is not kept.
  Bytes forged = *write_repliable_datagram(p.alice.destination, p.bob.key, Bytes{1});
  ASSERT_TRUE(p.b.handle_incoming_i2cp(encoding::i2cp_gzip_wrap(forged, 0, 0, kProtocolRepliableDatagram), kT0));
  EXPECT_EQ(p.b.dht_datagrams.back().second.payload, (Bytes{43, 1}));
}

}  // namespace
}  // namespace streaming::test
