// One connection's sequence numbers, acknowledgements, window, packet sizes and close,
// between two stream managers wired by hand.
#include <gtest/gtest.h>

#include "tests/streaming/stream_test_util.h"

namespace streaming::test {
namespace {

// The acknowledgement after data packets arrived in the given order.
struct AckCase {
  const char* name;
  std::vector<std::uint32_t> arrivals;
  std::uint32_t ack_through;
  std::vector<std::uint32_t> nacks;
  std::vector<std::uint32_t> readable;  // the packets whose bytes are readable, in order
};

TEST(StreamConnection, AcknowledgementsAfterDataArrivedInAnyOrder) {
  // The last case stores packets with gaps of 10: up to 34 the gaps need 30 NACKs, 45
  // would need 40; its NACKs are 2..33 without 12 and 23, filled in below.
  const AckCase cases[] = {
      {"1, 3, 5", {1, 3, 5}, 5, {2, 4}, {1}},
      {"1, 3, 5 then 2", {1, 3, 5, 2}, 5, {4}, {1, 2, 3}},
      {"1, 3, 5, 2 then 4", {1, 3, 5, 2, 4}, 5, {}, {1, 2, 3, 4, 5}},
      {"a duplicate", {1, 2, 1}, 2, {}, {1, 2}},
      {"40 ahead", {1, 42}, 1, {}, {1}},
      {"33 ahead", {1, 35}, 1, {}, {1}},
      {"32 NACKs exactly",
       {1, 34},
       34,
       {2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17,
        18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33},
       {1}},
      {"several stored, stopping at 32 NACKs", {1, 12, 23, 34, 45}, 34, {}, {1}},
  };
  for (const AckCase& c : cases) {
    Pair p;
    p.establish();
    for (std::uint32_t seq : c.arrivals) {
      ASSERT_TRUE(p.b.handle_incoming_i2cp(envelope(p.data_to_bob(seq, {static_cast<std::uint8_t>(seq)})), kT0));
    }
    // Packets that arrived while the outbox waited get one ACK, the newest.
    std::vector<StreamingPacket> acks = take_packets(*p.bc);
    ASSERT_EQ(acks.size(), 1u) << c.name;
    const StreamingPacket& last = acks.back();
    std::vector<std::uint32_t> nacks = c.nacks;
    if (std::string(c.name) == "several stored, stopping at 32 NACKs") {
      nacks.clear();
      for (std::uint32_t n = 2; n < 34; ++n) {
        if (n != 12 && n != 23) nacks.push_back(n);
      }
    }
    EXPECT_EQ(last.ack_through, c.ack_through) << c.name;
    EXPECT_EQ(last.nacks, nacks) << c.name;
    EXPECT_EQ(last.flags, 0) << c.name;
    EXPECT_EQ(last.seq, 0u) << c.name;
    Bytes readable;
    for (std::uint32_t seq : c.readable) readable.push_back(static_cast<std::uint8_t>(seq));
    EXPECT_EQ(p.bc->read_available(), readable) << c.name;
    EXPECT_TRUE(p.bc->read_available().empty()) << c.name;
  }
}

// The connections of a manager share its compressor: text leaves compressed, random bytes
// stored, and every envelope is byte for byte what a fresh compressor makes of the packet,
// whatever the shared one compressed before. Bob reads it all back.
TEST(StreamConnection, EnvelopesComeFromTheManagersSharedCompressor) {
  Pair p;
  p.establish();
  ASSERT_TRUE(p.ac->deflater);
  EXPECT_EQ(p.ac->deflater, p.a.deflater);
  EXPECT_EQ(p.bc->deflater, p.b.deflater);

  std::string text;
  while (text.size() < 3000) text += "GET /index.html HTTP/1.1\r\nHost: example.i2p\r\nAccept: text/html\r\n\r\n";
  Bytes random(2000);
  for (std::size_t i = 0; i < random.size(); ++i) random[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
  Bytes sent;
  for (ByteView chunk : {ByteView(as_bytes(text)), ByteView(random), ByteView(as_bytes(text))}) {
    ASSERT_EQ(*p.ac->write(chunk, kT0), chunk.size());
    sent.insert(sent.end(), chunk.begin(), chunk.end());
  }
  ASSERT_EQ(p.ac->outbox.size(), p.ac->unacked.size());
  std::size_t compressed = 0;
  for (std::size_t i = 0; i < p.ac->unacked.size(); ++i) {
    const StreamingPacket& packet = p.ac->unacked[i].packet;
    EXPECT_EQ(p.ac->outbox[i], *encode_i2cp_streaming(packet, 0, 0)) << i;
    if (p.ac->outbox[i].size() < packet.payload.size()) ++compressed;
  }
  EXPECT_GE(compressed, 2u);
  EXPECT_LT(compressed, p.ac->unacked.size());
  ASSERT_TRUE(Pair::deliver(*p.ac, p.b));
  EXPECT_EQ(p.bc->read_available(), sent);
}

TEST(StreamConnection, DataIsAcknowledgedWhenDueAndUnsentAcksReplaced) {
  Pair p;
  p.establish();
  ASSERT_TRUE(p.b.handle_incoming_i2cp(envelope(p.data_to_bob(1, {1})), kT0));
  EXPECT_TRUE(p.bc->outbox.empty());  // one packet: its acknowledgement waits
  EXPECT_FALSE(p.bc->send_due_ack(kT0 + kAckDelayMs - 1));
  EXPECT_TRUE(p.bc->send_due_ack(kT0 + kAckDelayMs));
  EXPECT_TRUE(p.bc->only_ack_waiting());
  std::vector<StreamingPacket> first = take_packets(*p.bc);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].ack_through, 1u);
  // Bob's data carries the acknowledgement of packet 2; the duplicate is answered at once,
  // and its ACK takes the place of the one packet 3 started to wait for.
  ASSERT_TRUE(p.b.handle_incoming_i2cp(envelope(p.data_to_bob(2, {2})), kT0));
  ASSERT_EQ(p.bc->write(Bytes{9}, kT0), 1u);
  EXPECT_FALSE(p.bc->ack_due_ms());
  ASSERT_TRUE(p.b.handle_incoming_i2cp(envelope(p.data_to_bob(3, {3})), kT0));
  ASSERT_TRUE(p.b.handle_incoming_i2cp(envelope(p.data_to_bob(2, {2})), kT0));  // a duplicate
  EXPECT_FALSE(p.bc->only_ack_waiting());
  EXPECT_FALSE(p.bc->ack_due_ms());
  std::vector<StreamingPacket> sent = take_packets(*p.bc);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].seq, 1u);  // bob's data, carrying the acknowledgement through 2
  EXPECT_EQ(sent[0].ack_through, 2u);
  EXPECT_EQ(sent[1].ack_through, 3u);
  EXPECT_EQ(sent[1].seq, 0u);
  EXPECT_EQ(p.bc->read_available(), (Bytes{1, 2, 3}));
}

// When the acknowledgement of data arriving one packet per millisecond goes out: at once
// (waiting in the outbox when the case ends) or at its due time. In-order data is due at
// the second packet, and what arrives before the due ACK is made goes into it.
TEST(StreamConnection, WhenDataIsAcknowledged) {
  struct Case {
    const char* name;
    std::vector<std::uint32_t> arrivals;  // the n-th (from 0) at kT0 + n
    bool last_asks;                       // the last packet requests a delay of 0
    std::optional<std::uint32_t> waiting_ack_through;
    std::vector<std::uint32_t> waiting_nacks;
    std::optional<std::uint64_t> due;  // after kT0
  };
  const Case cases[] = {
      {"one packet waits", {1}, false, std::nullopt, {}, kAckDelayMs},
      {"the second makes it due at once", {1, 2}, false, std::nullopt, {}, 1},
      {"a third joins the one due", {1, 2, 3}, false, std::nullopt, {}, 1},
      {"a fourth too", {1, 2, 3, 4}, false, std::nullopt, {}, 1},
      {"out of order at once, with NACKs", {1, 4}, false, 4, {2, 3}, std::nullopt},
      {"filling part of a gap at once", {1, 4, 2}, false, 4, {3}, std::nullopt},
      {"a duplicate at once", {1, 1}, false, 1, {}, std::nullopt},
      {"far ahead at once, without it", {1, 200}, false, 1, {}, std::nullopt},
      {"a requested delay of 0 at once", {1}, true, 1, {}, std::nullopt},
  };
  for (const Case& c : cases) {
    Pair p;
    p.establish();
    for (std::size_t i = 0; i < c.arrivals.size(); ++i) {
      StreamingPacket d = p.data_to_bob(c.arrivals[i], {7});
      if (c.last_asks && i + 1 == c.arrivals.size()) {
        d.flags |= kDelayRequested;
        d.delay_requested = 0;
      }
      ASSERT_TRUE(p.b.handle_incoming_i2cp(envelope(d), kT0 + i)) << c.name;
    }
    const std::optional<std::uint64_t> due = p.bc->ack_due_ms();
    EXPECT_EQ(due, c.due ? std::optional(kT0 + *c.due) : std::nullopt) << c.name;
    if (due) {
      EXPECT_FALSE(p.bc->send_due_ack(*due - 1)) << c.name;
      EXPECT_TRUE(p.bc->send_due_ack(*due)) << c.name;
      EXPECT_FALSE(p.bc->ack_due_ms()) << c.name;
    }
    const std::vector<StreamingPacket> sent = take_packets(*p.bc);
    if (!c.waiting_ack_through) {
      ASSERT_EQ(sent.size(), 1u) << c.name;  // the one sent when due
      EXPECT_EQ(sent[0].ack_through, c.arrivals.back()) << c.name;
      continue;
    }
    // At most one plain ACK stands unsent; the one sent when due replaced it.
    ASSERT_EQ(sent.size(), 1u) << c.name;
    EXPECT_EQ(sent[0].seq, 0u) << c.name;
    EXPECT_EQ(sent[0].ack_through, due ? c.arrivals.back() : *c.waiting_ack_through) << c.name;
    EXPECT_EQ(sent[0].nacks, c.waiting_nacks) << c.name;
  }
}

// An acknowledgement waiting, timed or unsent, goes with the next data or CLOSE of bob's.
TEST(StreamConnection, AWaitingAcknowledgementRidesOnDataAndClose) {
  struct Case {
    const char* name;
    std::vector<std::uint32_t> arrivals;
    bool close;  // bob closes instead of writing
  };
  const Case cases[] = {
      {"a timed one, on data", {1}, false},
      {"an unsent ACK, on data", {1, 2}, false},
      {"a timed one, on a CLOSE", {1}, true},
      {"an unsent ACK, on a CLOSE", {1, 2}, true},
  };
  for (const Case& c : cases) {
    Pair p;
    p.establish();
    for (std::uint32_t seq : c.arrivals) ASSERT_TRUE(p.b.handle_incoming_i2cp(envelope(p.data_to_bob(seq, {7})), kT0));
    if (c.close) {
      ASSERT_TRUE(p.bc->close(kT0)) << c.name;
    } else {
      ASSERT_EQ(p.bc->write(Bytes(3, 'r'), kT0), 3u) << c.name;
    }
    EXPECT_FALSE(p.bc->ack_due_ms()) << c.name;
    const std::vector<StreamingPacket> sent = take_packets(*p.bc);
    ASSERT_EQ(sent.size(), 1u) << c.name;
    EXPECT_EQ(sent[0].seq, 1u) << c.name;
    EXPECT_EQ(sent[0].ack_through, c.arrivals.back()) << c.name;
    EXPECT_EQ(sent[0].has(kClose), c.close) << c.name;
  }
}

TEST(StreamConnection, AcknowledgementRetiresAllButNackedPackets) {
  Pair p;
  p.establish();
  ASSERT_EQ(p.ac->write(Bytes(5 * kDefaultMaxPayload, 'x'), kT0), 5u * kDefaultMaxPayload);
  p.ac->outbox.clear();
  StreamingPacket ack;
  ack.send_stream_id = p.ac->local_stream_id;
  ack.receive_stream_id = p.bc->local_stream_id;
  ack.ack_through = 4;
  ack.nacks = {2};
  ASSERT_TRUE(p.a.handle_incoming_i2cp(envelope(ack), kT0 + 7));
  std::vector<std::uint32_t> left;
  for (const UnackedPacket& u : p.ac->unacked) left.push_back(u.seq);
  EXPECT_EQ(left, (std::vector<std::uint32_t>{2, 5}));
  EXPECT_EQ(p.ac->highest_ack, 4u);
  EXPECT_TRUE(p.ac->ack_seen);
  EXPECT_EQ(p.ac->unacked[0].last_send_ms, kT0 + 7);  // resent at once
  EXPECT_EQ(take_packets(*p.ac).at(0).seq, 2u);
}

TEST(StreamConnection, WriteFillsTheWindowOfSixteenPackets) {
  Pair p;
  p.establish();
  EXPECT_EQ(p.ac->write(Bytes(100000, 'w'), kT0), 16u * 1730u);
  EXPECT_EQ(p.ac->write(Bytes(100000, 'w'), kT0), 0u);
  const std::vector<StreamingPacket> sent = take_packets(*p.ac);
  ASSERT_EQ(sent.size(), 16u);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].seq, i + 1);
    EXPECT_EQ(sent[i].payload.size(), 1730u);
    EXPECT_EQ(sent[i].send_stream_id, p.bc->local_stream_id);
    EXPECT_FALSE(sent[i].has(kSignatureIncluded));
  }
  EXPECT_EQ(p.ac->write({}, kT0), 0u);

  // An inbound connection whose SYN-ACK is still unacknowledged takes 15 packets.
  Pair q;
  q.ac = *q.a.connect(q.bob.hash(), kT0, 0, 0);
  ASSERT_TRUE(Pair::deliver(*q.ac, q.b));
  ConnectionPtr inbound = q.b.accept_queue.front();
  EXPECT_EQ(inbound->write(Bytes(100000, 'w'), kT0), 15u * 1730u);
}

TEST(StreamConnection, PacketSizesFromMaxPacketSize) {
  struct Case {
    std::uint16_t advertised;
    int outbound_payload;  // after a SYN-ACK advertising it
    int inbound_payload;   // after a SYN advertising it
  };
  const Case cases[] = {{1000, 1000, 1000}, {511, 1730, 1730},  {2000, 1730, 1730},
                        {300, 1730, 1730},  {1731, 1730, 1730}, {512, 512, 512}};
  for (const Case& c : cases) {
    Pair p;
    p.ac = *p.a.connect(p.bob.hash(), kT0, 0, 0);
    StreamingPacket syn_ack;
    syn_ack.send_stream_id = p.ac->local_stream_id;
    syn_ack.receive_stream_id = 9;
    syn_ack.flags = kSynchronize | kFromIncluded | kMaxPacketSizeIncluded;
    syn_ack.from = p.bob.destination;
    syn_ack.max_packet_size = c.advertised;
    ASSERT_TRUE(p.a.handle_incoming_i2cp(envelope(signed_by(syn_ack, p.bob)), kT0));
    EXPECT_EQ(p.ac->max_payload, c.outbound_payload) << c.advertised;
    p.ac->outbox.clear();
    ASSERT_TRUE(p.ac->write(Bytes(5000, 'm'), kT0));
    EXPECT_EQ(take_packets(*p.ac).front().payload.size(), static_cast<std::size_t>(c.outbound_payload));

    StreamingPacket syn;
    syn.receive_stream_id = 77;
    syn.flags = kSynchronize | kFromIncluded | kMaxPacketSizeIncluded | kNoAck;
    syn.from = p.alice.destination;
    syn.max_packet_size = c.advertised;
    auto accepted = p.b.handle_incoming_i2cp(envelope(signed_by(syn, p.alice)), kT0);
    ASSERT_TRUE(accepted && *accepted);
    EXPECT_EQ((*accepted)->max_payload, c.inbound_payload) << c.advertised;
    EXPECT_EQ(take_packets(**accepted).at(0).max_packet_size, c.inbound_payload) << c.advertised;
  }
}

TEST(StreamConnection, SynAndSynAckAsSent) {
  Pair p;
  p.ac = *p.a.connect(p.bob.hash(), kT0, 1234, 80);
  const Bytes syn_envelope = p.ac->outbox.front();
  auto opened = encoding::i2cp_gzip_unwrap(syn_envelope);
  EXPECT_EQ(opened->header, (encoding::I2cpGzipHeader{1234, 80, kProtocolStreaming}));
  const StreamingPacket syn = take_packets(*p.ac).at(0);
  EXPECT_EQ(syn.flags, 0x04A9);
  EXPECT_EQ(syn.send_stream_id, 0u);
  EXPECT_EQ(syn.receive_stream_id, 100u);
  EXPECT_EQ(syn.nacks, hash_to_nacks(p.bob.hash()));
  EXPECT_TRUE(syn.verify_signature(p.alice.destination));

  auto accepted = p.b.handle_incoming_i2cp(syn_envelope, kT0);
  ASSERT_TRUE(accepted && *accepted);
  const StreamConnection& in = **accepted;
  EXPECT_EQ(in.from_port, 80);
  EXPECT_EQ(in.to_port, 1234);
  EXPECT_EQ(in.local_stream_id, 500u);
  EXPECT_EQ(in.remote_stream_id, 100u);
  EXPECT_EQ(in.peer_hash, p.alice.hash());
  const StreamingPacket syn_ack = take_packets(**accepted).at(0);
  EXPECT_EQ(syn_ack.flags, 0x00A9);
  EXPECT_EQ(syn_ack.send_stream_id, 100u);
  EXPECT_EQ(syn_ack.receive_stream_id, 500u);
  EXPECT_TRUE(syn_ack.nacks.empty());
  EXPECT_TRUE(syn_ack.verify_signature(p.bob.destination));
}

TEST(StreamConnection, IncomingSynRefusals) {
  Pair p;
  StreamingPacket syn;
  syn.receive_stream_id = 5;
  syn.flags = kSynchronize | kFromIncluded;
  syn.from = p.alice.destination;
  StreamingPacket other_hash = syn;
  other_hash.nacks = hash_to_nacks(p.alice.hash());
  StreamingPacket no_from = syn;
  no_from.flags = kSynchronize;
  no_from.from.reset();
  StreamingPacket no_nacks = syn;
  struct Case {
    const char* name;
    StreamingPacket packet;
    std::string result;
  };
  const Case cases[] = {
      {"unsigned", syn, "invalid signature"},
      {"without FROM", signed_by(no_from, p.alice), "invalid format: incoming SYN missing FROM_INCLUDED"},
      {"signed by another", signed_by(syn, p.bob), "invalid signature"},
      {"another destination's hash", signed_by(other_hash, p.alice),
       "protocol error: SYN destination hash NACK mismatch"},
      {"without NACKs", signed_by(no_nacks, p.alice), "accepted"},
  };
  for (const Case& c : cases) {
    auto r = p.b.handle_incoming_i2cp(envelope(c.packet), kT0);
    EXPECT_EQ(r ? "accepted" : error_text(r.error()), c.result) << c.name;
  }
  EXPECT_EQ(p.b.connections.size(), 1u);
  EXPECT_EQ(p.b.next_stream_id, 505u);  // every SYN took an id
}

TEST(StreamConnection, PacketsOfNoConnectionAreDropped) {
  Pair p;
  p.establish();
  StreamingPacket unknown = p.data_to_bob(1, {1});
  unknown.send_stream_id = 4242;
  StreamingPacket no_id = p.data_to_bob(1, {1});
  no_id.send_stream_id = 0;
  for (const StreamingPacket& packet : {unknown, no_id}) {
    auto r = p.b.handle_incoming_i2cp(envelope(packet), kT0);
    ASSERT_TRUE(r);
    EXPECT_EQ(*r, nullptr);
  }
  EXPECT_TRUE(p.bc->outbox.empty());
  EXPECT_EQ(p.bc->next_expected, 1u);
  auto other_protocol = p.b.handle_incoming_i2cp(encoding::i2cp_gzip_wrap(Bytes(30, 0), 0, 0, 7), kT0);
  ASSERT_TRUE(other_protocol);
  EXPECT_EQ(*other_protocol, nullptr);
  auto not_gzip = p.b.handle_incoming_i2cp(Bytes(30, 0), kT0);
  ASSERT_FALSE(not_gzip);
  EXPECT_EQ(error_text(not_gzip.error()), "encoding error");
}

TEST(StreamConnection, CloseInEachState) {
  Pair p;
  p.establish();
  ASSERT_TRUE(p.ac->close(kT0));
  EXPECT_EQ(p.ac->state, StreamState::CloseSent);
  ASSERT_TRUE(p.ac->close(kT0));  // another CLOSE with the next number
  std::vector<StreamingPacket> closes = take_packets(*p.ac);
  ASSERT_EQ(closes.size(), 2u);
  EXPECT_EQ(closes[0].seq, 1u);
  EXPECT_EQ(closes[1].seq, 2u);
  EXPECT_EQ(closes[0].flags, 0x000A);
  EXPECT_TRUE(closes[0].verify_signature(p.alice.destination));

  p.ac->state = StreamState::Closed;
  ASSERT_TRUE(p.ac->close(kT0));
  p.ac->state = StreamState::Reset;
  ASSERT_TRUE(p.ac->close(kT0));
  EXPECT_TRUE(p.ac->outbox.empty());

  // Closing before the SYN-ACK: the CLOSE carries NO_ACK.
  Pair q;
  q.ac = *q.a.connect(q.bob.hash(), kT0, 0, 0);
  q.ac->outbox.clear();
  ASSERT_TRUE(q.ac->close(kT0));
  EXPECT_EQ(take_packets(*q.ac).at(0).flags, 0x040A);
}

TEST(StreamConnection, DataWrittenBeforeTheSynAckGoesAgainAddressedToThePeer) {
  Pair p;
  p.ac = *p.a.connect(p.bob.hash(), kT0, 0, 0);
  ASSERT_EQ(p.ac->write(Bytes(5, 'e'), kT0), 5u);
  ASSERT_TRUE(p.ac->close(kT0));
  std::deque<Bytes> early;
  early.swap(p.ac->outbox);
  ASSERT_EQ(early.size(), 3u);  // SYN, data, CLOSE
  ASSERT_TRUE(p.b.handle_incoming_i2cp(early[0], kT0));
  p.bc = p.b.accept_queue.front();
  // Addressed to no stream, the data and CLOSE are dropped.
  for (std::size_t i = 1; i < 3; ++i) EXPECT_EQ(*p.b.handle_incoming_i2cp(early[i], kT0), nullptr);
  ASSERT_TRUE(Pair::deliver(*p.bc, p.a, kT0 + 5));
  const std::vector<StreamingPacket> again = take_packets(*p.ac);
  ASSERT_EQ(again.size(), 3u);  // data and CLOSE again, then the ACK
  EXPECT_EQ(again[0].send_stream_id, p.bc->local_stream_id);
  EXPECT_EQ(again[1].send_stream_id, p.bc->local_stream_id);
  EXPECT_TRUE(again[1].verify_signature(p.alice.destination));
  for (const StreamingPacket& packet : again) ASSERT_TRUE(p.b.handle_incoming_i2cp(envelope(packet), kT0 + 5));
  EXPECT_EQ(p.bc->read_available(), Bytes(5, 'e'));
  EXPECT_TRUE(p.bc->peer_closed);
}

TEST(StreamConnection, StreamIdsWrapPastZero) {
  Pair p;
  p.a.next_stream_id = 0xFFFFFFFF;
  EXPECT_EQ((*p.a.connect(p.bob.hash(), kT0, 0, 0))->local_stream_id, 0xFFFFFFFFu);
  EXPECT_EQ((*p.a.connect(p.bob.hash(), kT0, 0, 0))->local_stream_id, 1u);
  EXPECT_EQ(StreamManager::create(p.alice.destination, p.alice.key, 0).next_stream_id, 1u);
}

TEST(StreamConnection, DataOvertakingTheSynAckIsDeliveredAfterIt) {
  Pair p;
  p.ac = *p.a.connect(p.bob.hash(), kT0, 0, 0);
  ASSERT_TRUE(Pair::deliver(*p.ac, p.b));
  p.bc = p.b.accept_queue.front();
  std::deque<Bytes> syn_ack;
  syn_ack.swap(p.bc->outbox);
  ASSERT_EQ(p.bc->write(Bytes(3, 'd'), kT0), 3u);
  ASSERT_TRUE(Pair::deliver(*p.bc, p.a));  // the data first
  EXPECT_TRUE(p.ac->read_available().empty());
  ASSERT_TRUE(p.a.handle_incoming_i2cp(syn_ack.front(), kT0));
  EXPECT_EQ(p.ac->read_available(), Bytes(3, 'd'));
  EXPECT_EQ(take_packets(*p.ac).back().ack_through, 1u);
}

}  // namespace
}  // namespace streaming::test
