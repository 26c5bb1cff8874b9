// The handshake, the data-phase split and the first frames of each direction, driven with
// fixed keys and compared byte for byte with values computed by tests/ntcp2/ntcp2_kat.py,
// an independent model built on python3's 'cryptography' package and itself checked
// against the Noise_N / Noise_XK vectors in the shared test data.
#include <gtest/gtest.h>

#include <cstdint>

#include "encoding/text.h"
#include "noise/key_pair.h"
#include "ntcp2/block.h"
#include "ntcp2/data_session.h"
#include "ntcp2/frame.h"
#include "ntcp2/handshake.h"

namespace ntcp2 {
namespace {

#include "tests/ntcp2/kat_vectors.inc"

Bytes hex(std::string_view h) { return *encoding::hex_decode(h); }
std::string to_hex(ByteView b) { return encoding::hex_encode(b); }

Bytes fixed(std::uint8_t start, std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(start + i);
  return out;
}

noise::KeyPair key(std::uint8_t start) { return *noise::KeyPair::from_private(fixed(start, 32)); }

constexpr std::uint32_t kTs1 = 1700000000, kTs2 = 1700000001;

std::vector<Ntcp2Block> msg3_blocks() {
  const std::string_view ri = "stand-in RouterInfo bytes";
  return {Ntcp2Block::RouterInfo{0, Bytes(ri.begin(), ri.end())}, Ntcp2Block::Padding{fixed(0x90, 16)}};
}

struct Pair {
  Ntcp2Handshake initiator;
  Ntcp2Handshake responder;
  Bytes msg1, msg2, msg3, payload;
};

// Runs the whole handshake with the script's inputs, checking nothing but success.
Pair run_handshake() {
  const noise::KeyPair init_static = key(0x10), resp_static = key(0x30);
  const Bytes hash = hex(kResponderHash), iv = fixed(0xa0, 16);
  Pair p{*Ntcp2Handshake::new_initiator(init_static, resp_static.public_key, hash, iv),
         *Ntcp2Handshake::new_responder(resp_static, hash, iv),
         {},
         {},
         {},
         {}};
  p.initiator.local_ephemeral = key(0x50);
  p.responder.local_ephemeral = key(0x70);

  const Bytes m3 = *encode_blocks(msg3_blocks());
  p.msg1 = *p.initiator.write_session_request(fixed(0xc0, 16), m3.size(), kTs1 * 1000ull + 123);
  auto req = p.responder.read_session_request_head(ByteView(p.msg1).first(64));
  EXPECT_TRUE(req);
  EXPECT_EQ(p.responder.m3p2_len, static_cast<std::int32_t>(kM3p2Len));
  EXPECT_TRUE(p.responder.finish_read_session_request(ByteView(p.msg1).subspan(64)));
  p.msg2 = *p.responder.write_session_created(fixed(0xe0, 16), kTs2 * 1000ull + 123);
  auto head = p.initiator.read_session_created_head(ByteView(p.msg2).first(64));
  EXPECT_TRUE(head);
  EXPECT_TRUE(p.initiator.finish_read_session_created(ByteView(p.msg2).subspan(64)));
  p.msg3 = *p.initiator.write_session_confirmed(msg3_blocks());
  p.payload = *p.responder.read_session_confirmed(p.msg3);
  return p;
}

TEST(Ntcp2HandshakeKat, MessagesMatchTheIndependentModel) {
  const noise::KeyPair init_static = key(0x10), resp_static = key(0x30);
  const Bytes hash = hex(kResponderHash), iv = fixed(0xa0, 16);
  auto initiator = Ntcp2Handshake::new_initiator(init_static, resp_static.public_key, hash, iv);
  auto responder = Ntcp2Handshake::new_responder(resp_static, hash, iv);
  ASSERT_TRUE(initiator);
  ASSERT_TRUE(responder);
  EXPECT_EQ(to_hex(initiator->state.h), to_hex(responder->state.h));
  initiator->local_ephemeral = key(0x50);
  responder->local_ephemeral = key(0x70);

  const Bytes m3 = *encode_blocks(msg3_blocks());
  auto msg1 = initiator->write_session_request(fixed(0xc0, 16), m3.size(), kTs1 * 1000ull + 123);
  ASSERT_TRUE(msg1);
  EXPECT_EQ(to_hex(*msg1), kMsg1);
  EXPECT_EQ(initiator->step, HandshakeStep::RequestDone);
  EXPECT_EQ(initiator->m3p2_len, static_cast<std::int32_t>(kM3p2Len));
  EXPECT_EQ(to_hex(initiator->aes_next_iv), to_hex(ByteView(*msg1).subspan(16, 16)));

  auto req = responder->read_session_request_head(ByteView(*msg1).first(64));
  ASSERT_TRUE(req) << to_string(req.error());
  EXPECT_EQ(req->network_id, 2);
  EXPECT_EQ(req->version, 2);
  EXPECT_EQ(req->pad_len, 16);
  EXPECT_EQ(req->m3p2_len, kM3p2Len);
  EXPECT_EQ(req->timestamp, kTs1);
  EXPECT_EQ(to_hex(*responder->remote_ephemeral), to_hex(initiator->local_ephemeral->public_key));
  EXPECT_EQ(responder->m3p2_len, static_cast<std::int32_t>(req->m3p2_len));  // recorded by the responder
  ASSERT_TRUE(responder->finish_read_session_request(ByteView(*msg1).subspan(64)));
  EXPECT_EQ(responder->step, HandshakeStep::RequestDone);

  auto msg2 = responder->write_session_created(fixed(0xe0, 16), kTs2 * 1000ull + 123);
  ASSERT_TRUE(msg2);
  EXPECT_EQ(to_hex(*msg2), kMsg2);

  auto head = initiator->read_session_created_head(ByteView(*msg2).first(64));
  ASSERT_TRUE(head) << to_string(head.error());
  EXPECT_EQ(head->pad_len, 16);
  EXPECT_EQ(head->timestamp, kTs2);
  ASSERT_TRUE(initiator->finish_read_session_created(ByteView(*msg2).subspan(64)));
  EXPECT_EQ(initiator->step, HandshakeStep::CreatedDone);

  auto msg3 = initiator->write_session_confirmed(msg3_blocks());
  ASSERT_TRUE(msg3);
  EXPECT_EQ(to_hex(*msg3), kMsg3);
  EXPECT_EQ(msg3->size(), 48 + kM3p2Len);

  auto payload = responder->read_session_confirmed(*msg3);
  ASSERT_TRUE(payload) << to_string(payload.error());
  EXPECT_EQ(*payload, m3);
  EXPECT_EQ(to_hex(*responder->remote_static), to_hex(init_static.public_key));

  for (const Ntcp2Handshake* hs : {&*initiator, &*responder}) {
    EXPECT_EQ(hs->step, HandshakeStep::ConfirmedDone);
    EXPECT_EQ(to_hex(hs->state.h), kFinalH);
    EXPECT_EQ(to_hex(hs->state.ck), kFinalCk);
  }
}

// Empty padding is not mixed into h on either side: the whole transcript, with messages 1
// and 2 carrying no padding at all, matches the model byte for byte.
TEST(Ntcp2HandshakeKat, EmptyPaddingIsNotHashed) {
  const noise::KeyPair init_static = key(0x10), resp_static = key(0x30);
  const Bytes hash = hex(kResponderHash), iv = fixed(0xa0, 16);
  auto initiator = Ntcp2Handshake::new_initiator(init_static, resp_static.public_key, hash, iv);
  auto responder = Ntcp2Handshake::new_responder(resp_static, hash, iv);
  ASSERT_TRUE(initiator && responder);
  initiator->local_ephemeral = key(0x50);
  responder->local_ephemeral = key(0x70);

  const Bytes m3 = *encode_blocks(msg3_blocks());
  auto msg1 = initiator->write_session_request({}, m3.size(), kTs1 * 1000ull + 123);
  ASSERT_TRUE(msg1);
  EXPECT_EQ(to_hex(*msg1), kMsg1NoPad);
  auto req = responder->read_session_request_head(*msg1);
  ASSERT_TRUE(req) << to_string(req.error());
  EXPECT_EQ(req->pad_len, 0);
  EXPECT_EQ(responder->m3p2_len, static_cast<std::int32_t>(req->m3p2_len));  // recorded by the responder
  ASSERT_TRUE(responder->finish_read_session_request({}));

  auto msg2 = responder->write_session_created({}, kTs2 * 1000ull + 123);
  ASSERT_TRUE(msg2);
  EXPECT_EQ(to_hex(*msg2), kMsg2NoPad);
  auto head = initiator->read_session_created_head(*msg2);
  ASSERT_TRUE(head) << to_string(head.error());
  EXPECT_EQ(head->pad_len, 0);
  ASSERT_TRUE(initiator->finish_read_session_created({}));

  auto msg3 = initiator->write_session_confirmed(msg3_blocks());
  ASSERT_TRUE(msg3);
  EXPECT_EQ(to_hex(*msg3), kMsg3NoPad);
  auto payload = responder->read_session_confirmed(*msg3);
  ASSERT_TRUE(payload) << to_string(payload.error());
  EXPECT_EQ(*payload, m3);
  for (const Ntcp2Handshake* hs : {&*initiator, &*responder}) {
    EXPECT_EQ(to_hex(hs->state.h), kFinalHNoPad);
    EXPECT_EQ(to_hex(hs->state.ck), kFinalCkNoPad);
  }
}

TEST(Ntcp2HandshakeKat, DataPhaseKeysAndMasks) {
  Pair p = run_handshake();
  auto a = p.initiator.into_data_session();
  auto b = p.responder.into_data_session();
  ASSERT_TRUE(a);
  ASSERT_TRUE(b);
  const Bytes sip_ab = hex(kSipKeysAB), sip_ba = hex(kSipKeysBA);

  EXPECT_EQ(to_hex(*a->send_cipher.k), kKeyAB);
  EXPECT_EQ(to_hex(*a->recv_cipher.k), kKeyBA);
  EXPECT_EQ(to_hex(*b->send_cipher.k), kKeyBA);
  EXPECT_EQ(to_hex(*b->recv_cipher.k), kKeyAB);
  EXPECT_EQ(a->send_cipher.n, 0u);
  EXPECT_EQ(to_hex(a->send_mask.key), to_hex(ByteView(sip_ab).first(16)));
  EXPECT_EQ(to_hex(a->send_mask.iv), to_hex(ByteView(sip_ab).subspan(16, 8)));
  EXPECT_EQ(to_hex(a->recv_mask.key), to_hex(ByteView(sip_ba).first(16)));
  EXPECT_EQ(to_hex(a->recv_mask.iv), to_hex(ByteView(sip_ba).subspan(16, 8)));
  EXPECT_EQ(to_hex(a->handshake_hash), kFinalH);
  EXPECT_EQ(to_hex(b->handshake_hash), kFinalH);
  EXPECT_EQ(to_hex(a->remote_static), to_hex(key(0x30).public_key));
  EXPECT_EQ(to_hex(b->remote_static), to_hex(key(0x10).public_key));

  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(*a->send_mask.xor_length(0), kMasksAB[i]) << i;
    EXPECT_EQ(*b->recv_mask.xor_length(0), kMasksAB[i]) << i;
    EXPECT_EQ(*b->send_mask.xor_length(0), kMasksBA[i]) << i;
    EXPECT_EQ(*a->recv_mask.xor_length(0), kMasksBA[i]) << i;
  }
}

TEST(Ntcp2HandshakeKat, FirstFramesOfEachDirection) {
  Pair p = run_handshake();
  Ntcp2DataSession a = *p.initiator.into_data_session();
  Ntcp2DataSession b = *p.responder.into_data_session();

  const std::vector<Ntcp2Block> ab = {Ntcp2Block::DateTime{kTs1}, Ntcp2Block::Padding{{0, 1, 2}}};
  auto frame_ab = seal_frame(a, *encode_blocks(ab));
  ASSERT_TRUE(frame_ab);
  EXPECT_EQ(to_hex(*frame_ab), kFrameAB);

  const std::vector<Ntcp2Block> ba = {Ntcp2Block::I2np{fixed(0x01, 20)}, Ntcp2Block::Termination{7, 2, {}}};
  auto frame_ba = seal_frame(b, *encode_blocks(ba));
  ASSERT_TRUE(frame_ba);
  EXPECT_EQ(to_hex(*frame_ba), kFrameBA);

  // Each side opens the other's frame.
  auto len = open_frame_length(b, static_cast<std::uint16_t>((*frame_ab)[0] << 8 | (*frame_ab)[1]));
  ASSERT_TRUE(len);
  EXPECT_EQ(*len, frame_ab->size() - 2);
  auto pt = open_frame(b, ByteView(*frame_ab).subspan(2));
  ASSERT_TRUE(pt);
  EXPECT_EQ(*decode_blocks(*pt), ab);

  // Opened where it lies: a frame whose tag is wrong changes neither the bytes nor the
  // nonce, and the same frame intact then opens.
  ASSERT_TRUE(open_frame_length(a, static_cast<std::uint16_t>((*frame_ba)[0] << 8 | (*frame_ba)[1])));
  Bytes body(frame_ba->begin() + 2, frame_ba->end());
  body[body.size() - 1] ^= 0x80;
  const Bytes tampered = body;
  auto refused = open_frame_in_place(a, body);
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().is(Ntcp2Error::Noise));
  EXPECT_EQ(body, tampered);
  EXPECT_EQ(a.recv_cipher.n, 0u);
  body[body.size() - 1] ^= 0x80;
  auto opened = open_frame_in_place(a, body);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->data(), body.data());
  EXPECT_EQ(*decode_blocks(*opened), ba);
  EXPECT_EQ(a.recv_cipher.n, 1u);
}

}  // namespace
}  // namespace ntcp2
