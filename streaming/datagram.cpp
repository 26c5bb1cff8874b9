#include "streaming/datagram.h"

#include <utility>

#include "common/key_types.h"
#include "crypto/ed25519.h"
#include "encoding/i2cp_gzip.h"
#include "encoding/reader.h"
#include "encoding/writer.h"
#include "streaming/packet.h"

namespace streaming {

namespace {

const common::SigningPublicKeyType kEd25519 = common::SigningPublicKeyType::EdDsaSha512Ed25519;

}  // namespace

Result<RepliableDatagram> RepliableDatagram::decode(ByteView bytes) {
  encoding::Reader r(bytes);
  auto from = common::Destination::decode(r);
  if (!from) return wrap(StreamingError::Common, std::move(from.error()));
  const std::optional<std::size_t> length = from->keys_and_cert.signing_type().signature_length();
  if (!length) return fail(StreamingError::InvalidFormat, "unsupported RepliableDatagram signing type");
  auto signature = r.read_bytes(static_cast<std::int64_t>(*length));
  if (!signature) return wrap(StreamingError::Encoding, std::move(signature.error()));
  return RepliableDatagram{std::move(*from), std::move(*signature), r.read_remaining()};
}

bool RepliableDatagram::verify() const {
  if (from.keys_and_cert.certificate.key() == nullptr || from.keys_and_cert.signing_type() != kEd25519) return false;
  return crypto::ed25519_verify(from.keys_and_cert.signing_public_key(), payload, signature);
}

Result<Bytes> write_repliable_datagram(const common::Destination& sender, const crypto::Ed25519SigningKey& key,
                                       ByteView payload) {
  if (sender.keys_and_cert.signing_type() != kEd25519) {
    return fail(StreamingError::InvalidFormat, "RepliableDatagram sender signing type must be EdDsaSha512Ed25519");
  }
  const crypto::Ed25519Signature signature = crypto::ed25519_sign(key, payload);
  encoding::Writer w(400 + signature.size() + payload.size());
  sender.keys_and_cert.encode(w);
  w.write_bytes(signature);
  w.write_bytes(payload);
  return std::move(w.buf);
}

Result<Bytes> encode_i2cp_repliable_datagram(const common::Destination& sender, const crypto::Ed25519SigningKey& key,
                                             ByteView payload, std::uint16_t src_port, std::uint16_t dst_port) {
  auto bytes = write_repliable_datagram(sender, key, payload);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  return encoding::i2cp_gzip_wrap(*bytes, src_port, dst_port, kProtocolRepliableDatagram);
}

Bytes encode_i2cp_raw_datagram(ByteView payload, std::uint16_t src_port, std::uint16_t dst_port) {
  return encoding::i2cp_gzip_wrap(payload, src_port, dst_port, kProtocolRawDatagram);
}

}  // namespace streaming
