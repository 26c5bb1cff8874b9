// The handshake record's rules that the known-answer run does not reach: steps out of
// order, missing keys, bad lengths, tampered messages, and the frame size limit.
#include <gtest/gtest.h>

#include <functional>

#include "crypto/chacha20_poly1305.h"
#include "ntcp2/data_session.h"
#include "ntcp2/frame.h"
#include "ntcp2/handshake.h"

namespace ntcp2 {
namespace {

noise::KeyPair key(std::uint8_t v) { return *noise::KeyPair::from_private(Bytes(32, v)); }

const Bytes kHash(32, 0x44), kIv(16, 0x55);
const std::vector<Ntcp2Block> kBlocks = {Ntcp2Block::Padding{Bytes(5, 1)}};

struct Sides {
  Ntcp2Handshake a = *Ntcp2Handshake::new_initiator(key(1), key(2).public_key, kHash, kIv);
  Ntcp2Handshake b = *Ntcp2Handshake::new_responder(key(2), kHash, kIv);
  Bytes msg1, msg2, msg3;
  int done = 0;
  Sides() {
    a.local_ephemeral = key(3);
    b.local_ephemeral = key(4);
  }
  // Runs the handshake on from where it stands up to step s.
  void to_step(int s) {
    if (s >= 1 && done < 1) {
      msg1 = *a.write_session_request(Bytes(16, 9), encode_blocks(kBlocks)->size(), 5000);
      (void)b.read_session_request_head(ByteView(msg1).first(64));
      (void)b.finish_read_session_request(ByteView(msg1).subspan(64));
    }
    if (s >= 2 && done < 2) {
      msg2 = *b.write_session_created({}, 5000);
      (void)a.read_session_created_head(ByteView(msg2).first(64));
      (void)a.finish_read_session_created({});
    }
    if (s >= 3 && done < 3) {
      msg3 = *a.write_session_confirmed(kBlocks);
      (void)b.read_session_confirmed(msg3);
    }
    done = std::max(done, s);
  }
};

void expect_state_error(const Error& e, std::string_view text) {
  EXPECT_TRUE(e.is(Ntcp2Error::HandshakeState)) << to_string(e);
  EXPECT_EQ(e.message(), text);
}

TEST(Ntcp2Handshake, ConstructorsCheckLengths) {
  struct Case {
    Result<Ntcp2Handshake> r;
    const char* message;
  };
  const Bytes k32(32), k31(31), iv16(16), iv17(17);
  Case cases[] = {
      {Ntcp2Handshake::new_initiator(key(1), k31, k32, iv16), "remote_static must be 32 bytes"},
      {Ntcp2Handshake::new_initiator(key(1), k32, k31, iv16), "responder_hash must be 32 bytes"},
      {Ntcp2Handshake::new_initiator(key(1), k32, k32, iv17), "published_iv must be 16 bytes"},
      {Ntcp2Handshake::new_initiator(key(1), k31, k31, iv17), "remote_static must be 32 bytes"},
      {Ntcp2Handshake::new_responder(key(1), k31, iv16), "local_router_hash must be 32 bytes"},
      {Ntcp2Handshake::new_responder(key(1), k32, iv17), "published_iv must be 16 bytes"},
  };
  for (const Case& c : cases) {
    ASSERT_FALSE(c.r);
    EXPECT_TRUE(c.r.error().is(Ntcp2Error::Malformed));
    EXPECT_EQ(c.r.error().message(), c.message);
  }
  auto ok = Ntcp2Handshake::new_initiator(key(1), k32, k32, iv16);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->step, HandshakeStep::Start);
  EXPECT_EQ(ok->aes_next_iv, Iv16{});
  EXPECT_EQ(ok->m3p2_len, 0);
}

TEST(Ntcp2Handshake, OperationsOutOfOrderOrOnTheWrongSide) {
  Sides s;
  const Bytes head(64), none;
  expect_state_error(s.b.write_session_request({}, 0, 0).error(),
                     "write_session_request only valid for initiator at step 0");
  expect_state_error(s.a.read_session_created_head(head).error(),
                     "read_session_created_head only valid for initiator at step 1");
  expect_state_error(s.a.finish_read_session_created(none).error(),
                     "finish_read_session_created only valid for initiator at step 1");
  expect_state_error(s.a.write_session_confirmed(kBlocks).error(),
                     "write_session_confirmed only valid for initiator at step 2");
  expect_state_error(s.a.read_session_request_head(head).error(),
                     "read_session_request_head only valid for responder at step 0");
  expect_state_error(s.a.finish_read_session_request(none).error(),
                     "finish_read_session_request only valid for responder at step 0");
  expect_state_error(s.b.write_session_created(none, 0).error(),
                     "write_session_created only valid for responder at step 1");
  expect_state_error(s.b.read_session_confirmed(none).error(),
                     "read_session_confirmed only valid for responder at step 2");
  expect_state_error(s.a.into_data_session().error(), "NTCP2 handshake not complete (step=0)");

  s.a.local_ephemeral.reset();
  expect_state_error(s.a.write_session_request({}, 0, 0).error(), "initiator ephemeral key not set");
  s.b.local_ephemeral.reset();
  s.b.step = HandshakeStep::RequestDone;
  expect_state_error(s.b.write_session_created(none, 0).error(), "responder ephemeral key not set");
  s.b.local_ephemeral = key(4);
  expect_state_error(s.b.write_session_created(none, 0).error(), "remote ephemeral key missing");
}

TEST(Ntcp2Handshake, DataSessionNeedsStepThreeThenTheRemoteKey) {
  Sides s;
  s.to_step(2);
  expect_state_error(s.a.into_data_session().error(), "NTCP2 handshake not complete (step=2)");
  s.to_step(3);
  ASSERT_TRUE(s.b.into_data_session());
  s.b.remote_static.reset();
  expect_state_error(s.b.into_data_session().error(), "remote static key missing");
}

TEST(Ntcp2Handshake, LengthChecksOnReceivedMessages) {
  Sides s;
  auto short_head = s.b.read_session_request_head(Bytes(63));
  EXPECT_TRUE(short_head.error().is(Ntcp2Error::Malformed));
  EXPECT_EQ(short_head.error().message(), "SessionRequest head must be 64 bytes, got 63");
  s.to_step(1);
  auto created = s.a.read_session_created_head(Bytes(65));
  EXPECT_EQ(created.error().message(), "SessionCreated head must be 64 bytes, got 65");
  s.to_step(2);
  auto confirmed = s.b.read_session_confirmed(Bytes(48 + 24 - 1));
  ASSERT_EQ(s.b.m3p2_len, 24);
  EXPECT_TRUE(confirmed.error().is(Ntcp2Error::Malformed));
  EXPECT_EQ(confirmed.error().message(), "SessionConfirmed length mismatch: expected 72, got 71");
}

TEST(Ntcp2Handshake, BlocksMustMatchTheAnnouncedLength) {
  Sides s;
  s.to_step(2);
  auto r = s.a.write_session_confirmed({Ntcp2Block::Padding{Bytes(6, 1)}});
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().is(Ntcp2Error::Malformed));
  EXPECT_EQ(r.error().message(), "SessionConfirmed part 2 ciphertext len 25 != advertised m3p2_len 24");
  EXPECT_EQ(s.a.step, HandshakeStep::CreatedDone);
}

TEST(Ntcp2Handshake, TamperedMessagesFailToDecrypt) {
  struct Case {
    const char* name;
    std::function<Error(Sides&)> run;
  };
  std::vector<Case> cases = {
      {"message 1 options",
       [](Sides& s) {
         Bytes m = *s.a.write_session_request({}, 5, 0);
         m[40] ^= 1;
         return s.b.read_session_request_head(m).error();
       }},
      {"message 1 under another router hash",
       [](Sides& s) {
         Bytes m = *s.a.write_session_request({}, 5, 0);
         Ntcp2Handshake other = *Ntcp2Handshake::new_responder(key(2), Bytes(32, 0x45), kIv);
         return other.read_session_request_head(m).error();
       }},
      {"message 2 options",
       [](Sides& s) {
         s.to_step(1);
         Bytes m = *s.b.write_session_created({}, 0);
         m[63] ^= 1;
         return s.a.read_session_created_head(m).error();
       }},
      {"message 2 padding differs",
       [](Sides& s) {
         s.to_step(1);
         Bytes m = *s.b.write_session_created(Bytes(4, 1), 0);
         (void)s.a.read_session_created_head(ByteView(m).first(64));
         (void)s.a.finish_read_session_created(Bytes(4, 2));  // h no longer agrees
         Bytes m3 = *s.a.write_session_confirmed(kBlocks);
         return s.b.read_session_confirmed(m3).error();
       }},
      {"message 3 static key",
       [](Sides& s) {
         s.to_step(2);
         Bytes m = *s.a.write_session_confirmed(kBlocks);
         m[3] ^= 1;
         return s.b.read_session_confirmed(m).error();
       }},
      {"message 3 blocks",
       [](Sides& s) {
         s.to_step(2);
         Bytes m = *s.a.write_session_confirmed(kBlocks);
         m.back() ^= 1;
         return s.b.read_session_confirmed(m).error();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sides s;
    Error e = c.run(s);
    EXPECT_TRUE(e.is(Ntcp2Error::Noise)) << to_string(e);
    EXPECT_TRUE(e.innermost().is(CryptoError::AuthFailed));
  }
}

TEST(Ntcp2Handshake, TooSmallAnnouncedLengthFailsWithoutCrash) {
  Sides s;
  const Bytes m1 = *s.a.write_session_request({}, 5, 0);
  auto options = SessionRequestOptions::decode(Bytes(16));
  ASSERT_TRUE(options);
  ASSERT_TRUE(s.b.read_session_request_head(m1));
  ASSERT_TRUE(s.b.finish_read_session_request({}));
  ASSERT_TRUE(s.b.write_session_created({}, 0));
  for (int m3p2 : {0, 8, 15}) {
    Ntcp2Handshake b = s.b;
    b.m3p2_len = m3p2;
    auto r = b.read_session_confirmed(Bytes(48 + static_cast<std::size_t>(m3p2), 7));
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is(Ntcp2Error::Noise));
  }
}

TEST(Ntcp2Frames, CrossingKeysFrameAfterFrame) {
  Sides s;
  s.to_step(3);
  Ntcp2DataSession a = *s.a.into_data_session(), b = *s.b.into_data_session();
  for (std::size_t i = 0; i < 50; ++i) {
    const Bytes payload = *encode_blocks({Ntcp2Block::Padding{Bytes(i * 37, static_cast<std::uint8_t>(i))}});
    for (auto [from, to] : {std::pair{&a, &b}, std::pair{&b, &a}}) {
      const Bytes frame = *seal_frame(*from, payload);
      const auto len = *open_frame_length(*to, static_cast<std::uint16_t>(frame[0] << 8 | frame[1]));
      ASSERT_EQ(len, frame.size() - 2);
      auto pt = open_frame(*to, ByteView(frame).subspan(2));
      ASSERT_TRUE(pt);
      EXPECT_EQ(*pt, payload);
    }
  }
  // A frame opened by the wrong direction's key fails.
  const Bytes frame = *seal_frame(a, {});
  auto wrong = open_frame(a, ByteView(frame).subspan(2));
  EXPECT_TRUE(wrong.error().is(Ntcp2Error::Noise));
}

TEST(Ntcp2Frames, SizeIsCheckedBeforeTheNonceIsSpent) {
  Sides s;
  s.to_step(3);
  Ntcp2DataSession a = *s.a.into_data_session();
  auto ok = seal_frame(a, Bytes(kMaxFramePayload));
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->size(), 2u + 65535u);
  EXPECT_EQ(a.send_cipher.n, 1u);
  const auto iv = a.send_mask.iv;
  auto big = seal_frame(a, Bytes(kMaxFramePayload + 1));
  ASSERT_FALSE(big);
  EXPECT_TRUE(big.error().is(Ntcp2Error::Malformed));
  EXPECT_EQ(big.error().message(), "NTCP2 data frame exceeds 65535 bytes: 65536");
  EXPECT_EQ(a.send_cipher.n, 1u);
  EXPECT_EQ(a.send_mask.iv, iv);
}

TEST(Ntcp2Frames, SealedFrameIsPlainAeadUnderTheDirectionKey) {
  Sides s;
  s.to_step(3);
  Ntcp2DataSession a = *s.a.into_data_session();
  const Bytes key(a.send_cipher.k->begin(), a.send_cipher.k->end());
  const Bytes payload = {3, 0, 2, 0xaa, 0xbb};
  (void)seal_frame(a, payload);  // nonce 0
  const Bytes frame = *seal_frame(a, payload);
  auto expect = crypto::aead_chacha20_poly1305_encrypt(key, noise::make_noise_nonce(1), {}, payload);
  EXPECT_EQ(Bytes(frame.begin() + 2, frame.end()), *expect);
}

}  // namespace
}  // namespace ntcp2
