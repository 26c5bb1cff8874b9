// The streaming packet decoder and a stream manager on arbitrary input: no crash; a packet
// that decodes encodes again to bytes that decode to the same packet; and the same bytes,
// as the envelope of an incoming packet, leave the manager within its bounds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/ed25519.h"
#include "encoding/i2cp_gzip.h"
#include "fuzz/support/check.h"
#include "streaming/manager.h"
#include "streaming/packet.h"

namespace {

using fuzz_support::check;

struct Fixture {
  common::Destination own;
  Bytes seed = Bytes(32, 0x5A);
  crypto::Ed25519SigningKey key = crypto::ed25519_signing_key(seed).value();
  Fixture() {
    const auto pub = *crypto::ed25519_public_key(seed);
    std::copy(pub.begin(), pub.end(), own.keys_and_cert.keys.begin() + 352);
    own.keys_and_cert.certificate =
        common::Certificate{common::KeyCertificate::create(common::CryptoPublicKeyType::X25519)};
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Fixture fixture;
  const ByteView input(data, size);
  auto packet = streaming::StreamingPacket::decode(input);
  if (packet) {
    auto bytes = streaming::encode_with_opt_zero_sig(*packet, 0);
    check(bytes.has_value());
    auto again = streaming::StreamingPacket::decode(*bytes);
    check(again.has_value() && *again == *packet);
    if (packet->from) (void)packet->verify_signature(*packet->from);
  }

  // The bytes as a packet for a manager with one connection of each kind: an outbound one
  // (id 1, waiting for its SYN-ACK) and one made by a SYN (id 2).
  streaming::StreamManager manager = streaming::StreamManager::create(fixture.own, fixture.key, 1);
  auto outbound = manager.connect(fixture.own.keys_and_cert.hash(), 0, 0, 0);
  check(outbound.has_value());
  auto inbound = manager.handle_incoming_i2cp((*outbound)->outbox.front(), 0);
  check(inbound.has_value() && *inbound != nullptr);
  for (std::uint8_t protocol : {streaming::kProtocolStreaming, streaming::kProtocolRepliableDatagram}) {
    (void)manager.handle_incoming_i2cp(encoding::i2cp_gzip_wrap(input, 0, 0, protocol), 1000);
  }
  for (const streaming::ConnectionPtr& c : manager.connections) {
    check(c->out_of_order.size() < streaming::kMaxOutOfOrderAhead);
    check(c->recv_buf.size() <= streaming::kMaxUnreadBytes);
    check(c->outbox.size() <= streaming::kMaxOutbox);
    check(c->unacked.size() <= static_cast<std::size_t>(c->window) + 1);
  }
  check(manager.connections.size() <= 3);
  return 0;
}
