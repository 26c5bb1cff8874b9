// Ntcp2Conn over a local stream pair: frames both ways, partial deliveries, the send
// queue limit, the stall time-out and the refusals of the receive side.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "encoding/reader.h"
#include "i2np/message.h"
#include "ntcp2/frame.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/ntcp2_conn.h"
#include "tests/ntcp2_net/ntcp2_test_util.h"

namespace ntcp2_net {
namespace {

using ntcp2::Ntcp2Block;
using Blocks = std::vector<Ntcp2Block>;

struct LinkPair {
  Ntcp2Conn a;  // the initiator's end
  Ntcp2Conn b;
};

LinkPair link_pair() {
  auto [sa, sb] = ntcp2_test::session_pair();
  auto [fa, fb] = ntcp2_test::stream_pair();
  (void)ondrel_i2p_net_tcp_set_nonblocking(fa, 1);
  (void)ondrel_i2p_net_tcp_set_nonblocking(fb, 1);
  return {make_ntcp2_conn(TcpSocket(fa), std::move(sa), common::RouterInfo{}),
          make_ntcp2_conn(TcpSocket(fb), std::move(sb), common::RouterInfo{})};
}

// Reads frames until one is complete (or the deadline passes).
Result<std::optional<Blocks>> recv_one(Ntcp2Conn& c) {
  for (int i = 0; i < 200; ++i) {
    auto r = c.recv_blocks_nb(read_now());
    if (!r || *r) return r;
    ntcp2_test::wait_readable(c.socket.fd, 10);
  }
  return std::optional<Blocks>{};
}

Bytes bytes_of(std::size_t n, std::uint8_t v) { return Bytes(n, v); }

TEST(Ntcp2Link, EveryBlockTypeBothWays) {
  LinkPair p = link_pair();
  const Blocks ab = {Ntcp2Block::DateTime{1700000000}, Ntcp2Block::Options{{1, 2, 3, 4}},
                     Ntcp2Block::I2np{bytes_of(40, 7)}, Ntcp2Block::Padding{bytes_of(5, 0)}};
  const Blocks ba = {Ntcp2Block::Termination{12, 1, {9}}, Ntcp2Block::Unknown{200, {5}}};
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(p.a.send_blocks_nb(ab, read_now()));
    ASSERT_TRUE(p.b.send_blocks_nb(ba, read_now()));
    auto got_b = recv_one(p.b);
    ASSERT_TRUE(got_b && *got_b);
    EXPECT_EQ(**got_b, ab);
    auto got_a = recv_one(p.a);
    ASSERT_TRUE(got_a && *got_a);
    EXPECT_EQ(**got_a, ba);
  }
  EXPECT_EQ(p.a.tx_queued, 0);
  EXPECT_TRUE(p.a.tx_queue.empty());
  EXPECT_EQ(p.a.session.send_cipher.n, 3u);
  EXPECT_EQ(p.b.session.recv_cipher.n, 3u);
}

TEST(Ntcp2Link, OneByteDeliveriesYieldNothingUntilTheFrameIsWhole) {
  LinkPair p = link_pair();
  const Blocks blocks = {Ntcp2Block::I2np{bytes_of(30, 3)}, Ntcp2Block::DateTime{5}};
  for (int frame_no = 0; frame_no < 2; ++frame_no) {
    auto frame = ntcp2::seal_frame(p.a.session, *ntcp2::encode_blocks(blocks));
    ASSERT_TRUE(frame);
    for (std::size_t i = 0; i < frame->size(); ++i) {
      ASSERT_EQ(::send(p.a.socket.fd, frame->data() + i, 1, 0), 1);
      ASSERT_TRUE(ntcp2_test::wait_readable(p.b.socket.fd));
      auto r = p.b.recv_blocks_nb(read_now());
      ASSERT_TRUE(r) << i;
      if (i + 1 < frame->size()) {
        ASSERT_FALSE(*r) << "frame reported after " << i + 1 << " bytes";
        EXPECT_EQ(p.b.rx_frame_len, i == 0 ? -1 : static_cast<std::int32_t>(frame->size() - 2));
      } else {
        ASSERT_TRUE(*r);
        EXPECT_EQ(**r, blocks);
      }
    }
  }
}

TEST(Ntcp2Link, TagOnlyFrameGivesNoBlocksAndLargestFrameFits) {
  LinkPair p = link_pair();
  ASSERT_TRUE(p.a.send_blocks_nb({}, read_now()));
  auto r = recv_one(p.b);
  ASSERT_TRUE(r && *r);
  EXPECT_TRUE((*r)->empty());

  // 65,516 padding bytes + 3 header bytes = 65,519 bytes of blocks: a 65,535-byte frame.
  const Blocks largest = {Ntcp2Block::Padding{bytes_of(65516, 1)}};
  ASSERT_TRUE(p.a.send_blocks_nb(largest, read_now()));
  Result<std::optional<Blocks>> big = std::optional<Blocks>{};
  for (int i = 0; i < 400 && big && !*big; ++i) {
    (void)p.a.flush_nonblocking(read_now());
    big = p.b.recv_blocks_nb(read_now());
  }
  ASSERT_TRUE(big && *big);
  EXPECT_EQ(**big, largest);
}

TEST(Ntcp2Link, OversizedFrameFailsAloneAndTheLinkGoesOn) {
  LinkPair p = link_pair();
  auto r = p.a.send_blocks_nb({Ntcp2Block::Padding{bytes_of(65517, 1)}}, read_now());
  ASSERT_FALSE(r);
  ASSERT_TRUE(r.error().is(NetError::Protocol));
  ASSERT_TRUE(r.error().inner()->is(Ntcp2Error::Malformed));
  EXPECT_EQ(r.error().inner()->message(), "NTCP2 data frame exceeds 65535 bytes: 65536");
  EXPECT_EQ(p.a.session.send_cipher.n, 0u);  // no nonce spent
  EXPECT_TRUE(p.a.tx_queue.empty());

  auto bad_block = p.a.send_blocks_nb({Ntcp2Block::I2np{bytes_of(65536, 1)}}, read_now());
  ASSERT_FALSE(bad_block);
  EXPECT_TRUE(bad_block.error().inner()->is(Ntcp2Error::Malformed));

  const Blocks next = {Ntcp2Block::DateTime{77}};
  ASSERT_TRUE(p.a.send_blocks_nb(next, read_now()));
  auto got = recv_one(p.b);
  ASSERT_TRUE(got && *got);
  EXPECT_EQ(**got, next);
}

TEST(Ntcp2Link, QueueLimitLooksOnlyAtWhatIsQueued) {
  auto [sa, sb] = ntcp2_test::session_pair();
  Ntcp2Conn c = make_ntcp2_conn(TcpSocket(), std::move(sa), common::RouterInfo{});  // closed: nothing drains
  // 65,515 padding bytes: 65,518 bytes of blocks, a frame of 65,536 bytes with its length.
  const Blocks frame = {Ntcp2Block::Padding{bytes_of(65515, 2)}};
  for (int i = 0; i < 4; ++i) {
    auto r = c.send_blocks_nb(frame, read_now());
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is(NetError::Closed));  // queued, but the socket is closed
  }
  EXPECT_EQ(c.tx_queued, 262144);
  auto fifth = c.send_blocks_nb({Ntcp2Block::Padding{{}}}, read_now());  // exactly at the limit: still taken
  EXPECT_TRUE(fifth.error().is(NetError::Closed));
  EXPECT_EQ(c.tx_queue.size(), 5u);
  EXPECT_EQ(c.tx_queued, 262144 + 21);
  const std::uint64_t nonce = c.session.send_cipher.n;
  auto sixth = c.send_blocks_nb({Ntcp2Block::Padding{{}}}, read_now());
  ASSERT_FALSE(sixth);
  EXPECT_TRUE(sixth.error().is(NetError::Io));
  EXPECT_EQ(sixth.error().message(), "NTCP2 outbound send queue full");
  EXPECT_EQ(c.tx_queue.size(), 5u);
  EXPECT_EQ(c.session.send_cipher.n, nonce);
  auto flushed = c.flush_nonblocking(read_now());
  ASSERT_FALSE(flushed);
  EXPECT_TRUE(flushed.error().is(NetError::Closed));
}

TEST(Ntcp2Link, StalledQueueTimesOutAfterTenSecondsAndResumesWhereItStopped) {
  LinkPair p = link_pair();
  int small = 4096;
  setsockopt(p.a.socket.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(p.b.socket.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const Blocks frame = {Ntcp2Block::Padding{bytes_of(3000, 4)}};
  int sent_frames = 0;
  while (p.a.tx_queue.empty() && sent_frames < 1000) {
    ASSERT_TRUE(p.a.send_blocks_nb(frame, read_now()));
    ++sent_frames;
  }
  ASSERT_FALSE(p.a.tx_queue.empty()) << "the socket never filled";
  ASSERT_TRUE(p.a.send_blocks_nb(frame, read_now()));  // one more behind it
  ++sent_frames;
  EXPECT_GT(p.a.tx_queued, 0);

  // No progress now: the first flush starts the wait; 10,000 ms later still waiting,
  // one millisecond more fails.
  const std::uint64_t t0 = 1'800'000'000'000ull;
  p.a.stall_since_ms = 0;
  auto first = p.a.flush_nonblocking(Now{t0, t0});
  ASSERT_TRUE(first);
  EXPECT_FALSE(*first);
  EXPECT_EQ(p.a.stall_since_ms, t0);
  auto at_limit = p.a.flush_nonblocking(Now{t0 + 10000, t0 + 10000});
  ASSERT_TRUE(at_limit);
  EXPECT_FALSE(*at_limit);
  auto late = p.a.flush_nonblocking(Now{t0 + 10001, t0 + 10001});
  ASSERT_FALSE(late);
  EXPECT_TRUE(late.error().is(NetError::Timeout));

  // Had the owner kept the link, a reader appearing lets flushes continue from the partly
  // sent head, and every frame arrives whole.
  int received = 0;
  for (int i = 0; i < 20000 && received < sent_frames; ++i) {
    auto f = p.a.flush_nonblocking(Now{t0 + 5000, t0 + 5000});
    ASSERT_TRUE(f);
    auto r = p.b.recv_blocks_nb(read_now());
    ASSERT_TRUE(r) << to_string(r.error());
    if (*r) {
      EXPECT_EQ(**r, frame);
      ++received;
    } else if (p.a.tx_queue.empty()) {
      ntcp2_test::wait_readable(p.b.socket.fd, 10);
    }
  }
  EXPECT_EQ(received, sent_frames);
  EXPECT_TRUE(p.a.tx_queue.empty());
  EXPECT_EQ(p.a.tx_offset, 0);
  EXPECT_EQ(p.a.tx_queued, 0);
  EXPECT_EQ(p.a.stall_since_ms, 0u);
}

// Queued frames wait for the flush and then leave many to a write, partly written writes
// resuming mid-frame: every frame arrives whole and in order, more than one write's worth.
TEST(Ntcp2Link, QueuedFramesWaitForTheFlushAndArriveInOrder) {
  LinkPair p = link_pair();
  int small = 8192;
  setsockopt(p.a.socket.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::vector<Blocks> frames;
  for (int i = 0; i < 150; ++i) {
    frames.push_back(
        {Ntcp2Block::I2np{bytes_of(static_cast<std::size_t>(1 + (i * 97) % 1500), static_cast<std::uint8_t>(i))}});
    ASSERT_TRUE(p.a.queue_blocks_nb(frames.back()));
  }
  EXPECT_EQ(p.a.tx_queue.size(), 150u);
  EXPECT_FALSE(ntcp2_test::wait_readable(p.b.socket.fd, 0));  // nothing left before the flush

  std::size_t received = 0;
  for (int i = 0; i < 20000 && received < frames.size(); ++i) {
    auto f = p.a.flush_nonblocking(read_now());
    ASSERT_TRUE(f) << to_string(f.error());
    auto r = p.b.recv_blocks_nb(read_now());
    ASSERT_TRUE(r) << to_string(r.error());
    if (*r) {
      EXPECT_EQ(**r, frames[received]) << received;
      ++received;
    } else if (p.a.tx_queue.empty()) {
      ntcp2_test::wait_readable(p.b.socket.fd, 10);
    }
  }
  EXPECT_EQ(received, frames.size());
  EXPECT_TRUE(p.a.tx_queue.empty());
  EXPECT_EQ(p.a.tx_queued, 0);
  EXPECT_EQ(p.a.tx_offset, 0);
}

// Held messages share frames of up to 16 KiB of blocks; a longer one has a frame of its own,
// one too long for any frame is refused alone, and all arrive in order. A message whose
// size is known only once it is written (a search reply) and that then does not fit moves
// to the next frame.
TEST(Ntcp2Link, HeldMessagesShareFramesOfAtMostSixteenKiB) {
  LinkPair p = link_pair();
  const auto data = [](std::size_t n, std::size_t i) {
    return i2np::I2npPayload{i2np::I2npPayload::Data{bytes_of(n, static_cast<std::uint8_t>(i))}};
  };
  const auto search_reply = [](std::uint8_t tag) {
    i2np::I2npPayload::DatabaseSearchReply reply;
    reply.key.bytes.fill(tag);
    reply.from.bytes.fill(tag);
    reply.peers.resize(255);  // 8,225 bytes of body
    return i2np::I2npPayload{reply};
  };
  std::vector<i2np::I2npPayload> messages;
  for (std::size_t i = 0; i < 40; ++i) messages.push_back(data(1000, i));
  messages.push_back(data(20000, 40));  // alone
  messages.push_back(data(10, 41));
  messages.push_back(search_reply(1));  // beside the short one
  messages.push_back(search_reply(2));  // does not fit there: the next frame
  for (std::size_t i = 0; i < messages.size(); ++i) {
    ASSERT_TRUE(p.a.hold_i2np_nb(static_cast<std::uint32_t>(i), 0, messages[i]));
  }
  auto refused = p.a.hold_i2np_nb(99, 0, data(70000, 1));
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().is(NetError::Protocol));

  std::size_t received = 0;
  std::vector<std::size_t> per_frame;
  for (int i = 0; i < 20000 && received < messages.size(); ++i) {
    auto f = p.a.flush_nonblocking(read_now());
    ASSERT_TRUE(f) << to_string(f.error());
    auto r = p.b.recv_blocks_nb(read_now());
    ASSERT_TRUE(r) << to_string(r.error());
    if (!*r) {
      ntcp2_test::wait_readable(p.b.socket.fd, 10);
      continue;
    }
    per_frame.push_back((**r).size());
    std::size_t frame_bytes = 0;
    for (const Ntcp2Block& block : **r) {
      const auto* m = block.get_if<Ntcp2Block::I2np>();
      ASSERT_NE(m, nullptr);
      frame_bytes += 3 + m->data.size();
      encoding::Reader reader(m->data);
      auto decoded = i2np::decode_short_message(reader);
      ASSERT_TRUE(decoded);
      EXPECT_EQ(decoded->first.msg_id, received);
      EXPECT_EQ(decoded->second, messages[received]) << received;
      ++received;
    }
    EXPECT_TRUE(frame_bytes <= 16384 || (**r).size() == 1) << frame_bytes;
  }
  EXPECT_EQ(received, messages.size());
  // 40 x 1,016 bytes fill three frames (16 + 16 + 8), then the long one, then the short one
  // with the first reply, then the second reply.
  EXPECT_EQ(per_frame, (std::vector<std::size_t>{16, 16, 8, 1, 2, 1}));
  EXPECT_FALSE(p.a.has_unsent());
  // The sent frames' buffers are kept for the next ones, within their bound.
  EXPECT_FALSE(p.a.tx_spare.empty());
  EXPECT_LE(p.a.tx_spare.size(), kSpareFrames);
}

TEST(Ntcp2Link, ReceiveRefusals) {
  struct Case {
    const char* name;
    std::function<Bytes(ntcp2::Ntcp2DataSession&)> wire;  // what the peer writes
    std::function<void(const Error&)> check;
  };
  std::vector<Case> cases = {
      {"length under the tag",
       [](ntcp2::Ntcp2DataSession& s) {
         const std::uint16_t m = *s.send_mask.xor_length(10);
         return Bytes{static_cast<std::uint8_t>(m >> 8), static_cast<std::uint8_t>(m)};
       },
       [](const Error& e) {
         EXPECT_TRUE(e.is(NetError::Io));
         EXPECT_EQ(e.message(), "NTCP2 frame shorter than 16-byte MAC: 10");
       }},
      {"bad tag",
       [](ntcp2::Ntcp2DataSession& s) {
         Bytes f = *ntcp2::seal_frame(s, *ntcp2::encode_blocks({Ntcp2Block::DateTime{1}}));
         f.back() ^= 1;
         return f;
       },
       [](const Error& e) {
         ASSERT_TRUE(e.is(NetError::Protocol));
         EXPECT_TRUE(e.inner()->is(Ntcp2Error::Noise));
         EXPECT_TRUE(e.innermost().is(CryptoError::AuthFailed));
       }},
      {"blocks that do not decode",
       [](ntcp2::Ntcp2DataSession& s) {
         return *ntcp2::seal_frame(s, Bytes{0, 0, 3, 1, 2, 3});
       },
       [](const Error& e) {
         ASSERT_TRUE(e.is(NetError::Protocol));
         EXPECT_TRUE(e.inner()->is(Ntcp2Error::Malformed));
       }},
      {"peer gone", [](ntcp2::Ntcp2DataSession&) { return Bytes{}; },
       [](const Error& e) { EXPECT_TRUE(e.is(NetError::Closed)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LinkPair p = link_pair();
    const Bytes wire = c.wire(p.a.session);
    if (wire.empty()) {
      p.a.socket.close();
    } else {
      ASSERT_EQ(::send(p.a.socket.fd, wire.data(), wire.size(), 0), static_cast<ssize_t>(wire.size()));
    }
    auto r = recv_one(p.b);
    ASSERT_FALSE(r);
    c.check(r.error());
  }
}

TEST(Ntcp2Link, UndecodableFrameStillSpendsItsNonce) {
  LinkPair p = link_pair();
  const Bytes bad = *ntcp2::seal_frame(p.a.session, Bytes{4, 0, 1, 0});
  ASSERT_EQ(::send(p.a.socket.fd, bad.data(), bad.size(), 0), static_cast<ssize_t>(bad.size()));
  auto r = recv_one(p.b);
  ASSERT_FALSE(r);
  EXPECT_EQ(p.b.session.recv_cipher.n, 1u);
  const Blocks next = {Ntcp2Block::Padding{{9}}};
  ASSERT_TRUE(p.a.send_blocks_nb(next, read_now()));
  auto ok = recv_one(p.b);
  ASSERT_TRUE(ok && *ok);
  EXPECT_EQ(**ok, next);
}

}  // namespace
}  // namespace ntcp2_net

namespace ntcp2_net {
namespace {

// A started frame has 10,000 ms from its first byte to complete, however the peer doles out
// the rest: the part of a frame a peer sends and then holds back must not keep the link.
TEST(Ntcp2Link, FrameIncompleteTenSecondsAfterItsFirstByteFailsTheLink) {
  struct Case {
    const char* name;
    std::size_t padding;  // the frame's size
    std::size_t sent;     // bytes of it written before the peer falls silent
    bool trickle;         // the peer then adds one byte every 4,000 ms
  };
  const Case cases[] = {
      {"one byte of the length", 60000, 1, false},
      {"the length alone", 60000, 2, false},
      {"the head of a large frame", 60000, 102, false},
      {"all but three bytes, then a byte now and then", 1000, 1000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LinkPair p = link_pair();
    const Bytes frame =
        *ntcp2::seal_frame(p.a.session, *ntcp2::encode_blocks({Ntcp2Block::Padding{bytes_of(c.padding, 2)}}));
    std::size_t off = std::min(c.sent, frame.size() - 3);
    ASSERT_EQ(::send(p.a.socket.fd, frame.data(), off, 0), static_cast<ssize_t>(off));
    ASSERT_TRUE(ntcp2_test::wait_readable(p.b.socket.fd));
    const std::uint64_t t0 = read_now().mono_ms;
    for (std::uint64_t t = t0; t <= t0 + 8000; t += 4000) {
      if (c.trickle && t > t0) {
        ASSERT_EQ(::send(p.a.socket.fd, frame.data() + off, 1, 0), 1);
        ++off;
        ASSERT_TRUE(ntcp2_test::wait_readable(p.b.socket.fd));
      }
      auto r = p.b.recv_blocks_nb(Now{t, t});
      ASSERT_TRUE(r) << to_string(r.error());
      EXPECT_FALSE(*r);
    }
    auto at_limit = p.b.recv_blocks_nb(Now{t0 + 10000, t0 + 10000});
    ASSERT_TRUE(at_limit) << "failed at the limit";
    EXPECT_FALSE(*at_limit);
    auto late = p.b.recv_blocks_nb(Now{t0 + 10001, t0 + 10001});
    ASSERT_FALSE(late);
    EXPECT_TRUE(late.error().is(NetError::Timeout));
  }
}

// The limit runs per frame: frames that each complete in time keep the link however long it
// lives, and the clock starts anew with each frame's first byte.
TEST(Ntcp2Link, EachFrameGetsItsOwnTenSeconds) {
  LinkPair p = link_pair();
  const Blocks blocks = {Ntcp2Block::DateTime{7}};
  const std::uint64_t t0 = read_now().mono_ms;
  for (int i = 0; i < 4; ++i) {
    const Bytes frame = *ntcp2::seal_frame(p.a.session, *ntcp2::encode_blocks(blocks));
    ASSERT_EQ(::send(p.a.socket.fd, frame.data(), 5, 0), 5);
    ASSERT_TRUE(ntcp2_test::wait_readable(p.b.socket.fd));
    const std::uint64_t start = t0 + static_cast<std::uint64_t>(i) * 9000;
    auto head = p.b.recv_blocks_nb(Now{start, start});
    ASSERT_TRUE(head);
    EXPECT_FALSE(*head);
    ASSERT_EQ(::send(p.a.socket.fd, frame.data() + 5, frame.size() - 5, 0), static_cast<ssize_t>(frame.size() - 5));
    ASSERT_TRUE(ntcp2_test::wait_readable(p.b.socket.fd));
    auto whole = p.b.recv_blocks_nb(Now{start + 9000, start + 9000});
    ASSERT_TRUE(whole) << i << ": " << to_string(whole.error());
    ASSERT_TRUE(*whole);
    EXPECT_EQ(**whole, blocks);
    EXPECT_EQ(p.b.rx_started_ms, 0u);
  }
}

}  // namespace
}  // namespace ntcp2_net
