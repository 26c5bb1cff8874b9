#pragma once
// Helpers of the streaming tests: destinations from fixed seeds, packets in envelopes,
// and two stream managers wired to each other by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "crypto/ed25519.h"
#include "encoding/i2cp_gzip.h"
#include "streaming/manager.h"
#include "streaming/packet.h"

namespace streaming::test {

inline constexpr std::uint64_t kT0 = 1'000'000;

struct Identity {
  common::Destination destination;
  Bytes seed;
  crypto::Ed25519SigningKey key;  // the seed expanded
  common::Hash hash() const { return destination.keys_and_cert.hash(); }
};

// A destination whose Key certificate names the given signing type (Ed25519 by default),
// with the Ed25519 key of the seed in the last 32 bytes of its key area.
inline Identity identity(std::uint8_t seed_byte,
                         common::SigningPublicKeyType type = common::SigningPublicKeyType::EdDsaSha512Ed25519) {
  Identity id;
  id.seed.assign(32, seed_byte);
  id.key = *crypto::ed25519_signing_key(id.seed);
  for (std::size_t i = 0; i < 352; ++i) {
    id.destination.keys_and_cert.keys[i] = static_cast<std::uint8_t>(seed_byte + i);
  }
  const auto pub = *crypto::ed25519_public_key(id.seed);
  std::copy(pub.begin(), pub.end(), id.destination.keys_and_cert.keys.begin() + 352);
  common::KeyCertificate cert = common::KeyCertificate::create(common::CryptoPublicKeyType::ElGamal);
  cert.signing_type = type;
  id.destination.keys_and_cert.certificate = common::Certificate{cert};
  return id;
}

inline Bytes envelope(const StreamingPacket& p) { return *encode_i2cp_streaming(p, 0, 0); }

inline StreamingPacket signed_by(const StreamingPacket& p, const Identity& who) { return *p.sign_ed25519(who.key); }

// The packets waiting in an outbox, decoded, oldest first; the outbox is emptied.
inline std::vector<StreamingPacket> take_packets(StreamConnection& c) {
  std::vector<StreamingPacket> out;
  for (const Bytes& e : c.outbox) {
    auto opened = encoding::i2cp_gzip_unwrap(e);
    EXPECT_TRUE(opened);
    auto p = StreamingPacket::decode(opened->payload);
    EXPECT_TRUE(p);
    out.push_back(*p);
  }
  c.outbox.clear();
  return out;
}

// Alice and bob, each with a stream manager; envelopes move between them only when a
// test delivers them.
struct Pair {
  Identity alice = identity(0x11);
  Identity bob = identity(0x22);
  StreamManager a = StreamManager::create(alice.destination, alice.key, 100);
  StreamManager b = StreamManager::create(bob.destination, bob.key, 500);
  ConnectionPtr ac;  // alice's connection
  ConnectionPtr bc;  // bob's

  // Hands every envelope waiting in from's outbox to the manager; the last result.
  static Result<ConnectionPtr> deliver(StreamConnection& from, StreamManager& to, std::uint64_t now = kT0) {
    Result<ConnectionPtr> last = nullptr;
    std::deque<Bytes> outbox;
    outbox.swap(from.outbox);
    for (const Bytes& e : outbox) last = to.handle_incoming_i2cp(e, now);
    return last;
  }

  // SYN, SYN-ACK and alice's ACK: both Established, nothing unacknowledged, outboxes empty.
  void establish() {
    ac = *a.connect(bob.hash(), kT0, 0, 0);
    EXPECT_TRUE(deliver(*ac, b));
    ASSERT_EQ(b.accept_queue.size(), 1u);
    bc = b.accept_queue.front();
    b.accept_queue.pop_front();
    EXPECT_TRUE(deliver(*bc, a));
    EXPECT_TRUE(deliver(*ac, b));
    ASSERT_EQ(ac->state, StreamState::Established);
    ASSERT_TRUE(ac->unacked.empty());
    ASSERT_TRUE(bc->unacked.empty());
  }

  // A data packet from alice to bob with the given seq, as alice's connection would build
  // it, without touching alice's connection.
  StreamingPacket data_to_bob(std::uint32_t seq, Bytes payload) const {
    StreamingPacket p;
    p.send_stream_id = bc->local_stream_id;
    p.receive_stream_id = ac->local_stream_id;
    p.seq = seq;
    p.payload = std::move(payload);
    return p;
  }
};

}  // namespace streaming::test
