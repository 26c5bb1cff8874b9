#include "streaming/packet.h"

#include <utility>

#include "crypto/ed25519.h"
#include "encoding/i2cp_gzip.h"
#include "encoding/reader.h"
#include "encoding/writer.h"

namespace streaming {

namespace {

const common::SigningPublicKeyType kEd25519 = common::SigningPublicKeyType::EdDsaSha512Ed25519;

Result<Bytes> encode_options(const StreamingPacket& p, int signature_size) {
  encoding::Writer w;
  if (p.has(kDelayRequested)) {
    if (!p.delay_requested)
      return fail(StreamingError::InvalidFormat, "DELAY_REQUESTED flag set without delay_requested");
    w.write_u16_be(*p.delay_requested);
  }
  if (p.has(kFromIncluded)) {
    if (!p.from) return fail(StreamingError::InvalidFormat, "FROM_INCLUDED flag set without from_dest");
    p.from->keys_and_cert.encode(w);
  }
  if (p.has(kMaxPacketSizeIncluded)) {
    if (!p.max_packet_size) {
      return fail(StreamingError::InvalidFormat, "MAX_PACKET_SIZE_INCLUDED flag set without max_packet_size");
    }
    w.write_u16_be(*p.max_packet_size);
  }
  if (p.has(kOfflineSignature)) {
    if (!p.offline_signature)
      return fail(StreamingError::InvalidFormat, "OFFLINE_SIGNATURE flag set without offline_sig");
    w.write_bytes(encode_offline_signature(*p.offline_signature));
  }
  if (p.has(kSignatureIncluded)) {
    if (signature_size > 0) {
      w.buf.insert(w.buf.end(), static_cast<std::size_t>(signature_size), 0);
    } else {
      if (!p.signature) return fail(StreamingError::InvalidFormat, "SIGNATURE_INCLUDED flag set without signature");
      w.write_bytes(*p.signature);
    }
  }
  return std::move(w.buf);
}

template <typename T>
Result<T> encoding_read(Result<T> r) {
  if (!r) return wrap(StreamingError::Encoding, std::move(r.error()));
  return r;
}

// The stored signature over the packet with as many zero bytes in its place.
bool verify_with_key(const StreamingPacket& p, ByteView key) {
  if (!p.signature) return false;
  auto zeroed = encode_with_opt_zero_sig(p, static_cast<int>(p.signature->size()));
  if (!zeroed) return false;
  return crypto::ed25519_verify(key, *zeroed, *p.signature);
}

}  // namespace

std::optional<std::size_t> signature_length(common::SigningPublicKeyType type) { return type.signature_length(); }

Bytes encode_offline_signature(const common::OfflineSignature& block) {
  Bytes out = block.unsigned_bytes();
  out.insert(out.end(), block.signature.begin(), block.signature.end());
  return out;
}

Result<Bytes> encode_with_opt_zero_sig(const StreamingPacket& p, int signature_size) {
  auto options = encode_options(p, signature_size);
  if (!options) return std::unexpected(std::move(options.error()));
  if (p.nacks.size() > kMaxWireNacks) return fail(StreamingError::InvalidLength, "StreamingPacket nacks exceed 255");
  if (options->size() > 0xFFFF)
    return fail(StreamingError::InvalidLength, "StreamingPacket options exceed 65535 bytes");
  encoding::Writer w(kPacketHeaderSize + 4 * p.nacks.size() + options->size() + p.payload.size());
  w.write_u32_be(p.send_stream_id);
  w.write_u32_be(p.receive_stream_id);
  w.write_u32_be(p.seq);
  w.write_u32_be(p.ack_through);
  w.write_u8(static_cast<std::uint32_t>(p.nacks.size()));
  for (std::uint32_t n : p.nacks) w.write_u32_be(n);
  w.write_u8(p.resend_delay);
  w.write_u16_be(p.flags);
  w.write_u16_be(static_cast<std::uint32_t>(options->size()));
  w.write_bytes(*options);
  w.write_bytes(p.payload);
  return std::move(w.buf);
}

Result<Bytes> encode_i2cp_streaming(const StreamingPacket& packet, std::uint16_t src_port, std::uint16_t dst_port) {
  auto bytes = encode_with_opt_zero_sig(packet, 0);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  return encoding::i2cp_gzip_wrap(*bytes, src_port, dst_port, kProtocolStreaming);
}

Result<Bytes> encode_i2cp_streaming(const StreamingPacket& packet, std::uint16_t src_port, std::uint16_t dst_port,
                                    encoding::Deflater& deflater) {
  auto bytes = encode_with_opt_zero_sig(packet, 0);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  return encoding::i2cp_gzip_wrap(*bytes, src_port, dst_port, kProtocolStreaming, deflater);
}

Result<StreamingPacket> StreamingPacket::decode(ByteView bytes) {
  if (bytes.size() < kPacketHeaderSize) {
    return fail(StreamingError::InvalidLength, msg("StreamingPacket shorter than 22 bytes: ", bytes.size()));
  }
  encoding::Reader r(bytes);
  StreamingPacket p;
  // The first 22 bytes are there; only the NACKs and options can run short.
  p.send_stream_id = *r.read_u32_be();
  p.receive_stream_id = *r.read_u32_be();
  p.seq = *r.read_u32_be();
  p.ack_through = *r.read_u32_be();
  const std::uint8_t nack_count = *r.read_u8();
  p.nacks.reserve(nack_count);
  for (std::uint8_t i = 0; i < nack_count; ++i) {
    auto n = encoding_read(r.read_u32_be());
    if (!n) return std::unexpected(std::move(n.error()));
    p.nacks.push_back(*n);
  }
  auto resend_delay = encoding_read(r.read_u8());
  if (!resend_delay) return std::unexpected(std::move(resend_delay.error()));
  p.resend_delay = *resend_delay;
  auto flags = encoding_read(r.read_u16_be());
  if (!flags) return std::unexpected(std::move(flags.error()));
  p.flags = *flags;
  auto option_size = encoding_read(r.read_u16_be());
  if (!option_size) return std::unexpected(std::move(option_size.error()));
  auto options = encoding_read(r.read_view(*option_size));
  if (!options) return std::unexpected(std::move(options.error()));
  p.payload = r.read_remaining();

  encoding::Reader o(*options);
  if (p.has(kDelayRequested)) {
    auto v = encoding_read(o.read_u16_be());
    if (!v) return std::unexpected(std::move(v.error()));
    p.delay_requested = *v;
  }
  if (p.has(kFromIncluded)) {
    auto from = common::Destination::decode(o);
    if (!from) return wrap(StreamingError::Common, std::move(from.error()));
    p.from = std::move(*from);
  }
  if (p.has(kMaxPacketSizeIncluded)) {
    auto v = encoding_read(o.read_u16_be());
    if (!v) return std::unexpected(std::move(v.error()));
    p.max_packet_size = *v;
  }
  if (p.has(kOfflineSignature)) {
    const common::SigningPublicKeyType type = p.from ? p.from->keys_and_cert.signing_type() : kEd25519;
    auto block = common::OfflineSignature::decode(o, type);
    if (!block) return wrap(StreamingError::Common, std::move(block.error()));
    p.offline_signature = std::move(*block);
  }
  if (p.has(kSignatureIncluded)) {
    std::optional<std::size_t> length;
    if (p.offline_signature) {
      length = p.offline_signature->transient_type.signature_length();
    } else if (p.from) {
      length = p.from->keys_and_cert.signing_type().signature_length();
    } else {
      length = kEd25519SignatureSize;
    }
    auto signature = encoding_read(o.read_bytes(static_cast<std::int64_t>(length.value_or(o.remaining()))));
    if (!signature) return std::unexpected(std::move(signature.error()));
    p.signature = std::move(*signature);
  }
  return p;
}

Result<StreamingPacket> StreamingPacket::sign_ed25519(const crypto::Ed25519SigningKey& key) const {
  StreamingPacket copy = *this;
  copy.flags = static_cast<std::uint16_t>(copy.flags | kSignatureIncluded);
  auto zeroed = encode_with_opt_zero_sig(copy, static_cast<int>(kEd25519SignatureSize));
  if (!zeroed) return std::unexpected(std::move(zeroed.error()));
  const crypto::Ed25519Signature made = crypto::ed25519_sign(key, *zeroed);
  copy.signature = Bytes(made.begin(), made.end());
  return copy;
}

bool StreamingPacket::verify_signature(const common::Destination& sender) const {
  if (!has(kSignatureIncluded) || !signature) return false;
  if (sender.keys_and_cert.signing_type() != kEd25519) return false;
  const Bytes sender_key = sender.keys_and_cert.signing_public_key();
  if (has(kOfflineSignature)) {
    if (!offline_signature || offline_signature->transient_type != kEd25519) return false;
    if (!crypto::ed25519_verify(sender_key, offline_signature->unsigned_bytes(), offline_signature->signature)) {
      return false;
    }
    return verify_with_key(*this, offline_signature->transient_key);
  }
  return verify_with_key(*this, sender_key);
}

std::vector<std::uint32_t> hash_to_nacks(const common::Hash& hash) {
  std::vector<std::uint32_t> out;
  out.reserve(8);
  for (std::size_t i = 0; i < 32; i += 4) {
    out.push_back(static_cast<std::uint32_t>(hash.bytes[i]) << 24 |
                  static_cast<std::uint32_t>(hash.bytes[i + 1]) << 16 |
                  static_cast<std::uint32_t>(hash.bytes[i + 2]) << 8 | static_cast<std::uint32_t>(hash.bytes[i + 3]));
  }
  return out;
}

Bytes slice_bytes(ByteView bytes, std::size_t start, std::size_t length) {
  const ByteView part = bytes.subspan(start, length);
  return Bytes(part.begin(), part.end());
}

}  // namespace streaming
