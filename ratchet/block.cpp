#include "ratchet/block.h"

#include "encoding/reader.h"

namespace ratchet {
namespace {

constexpr std::size_t kMaxBody = 65535;
constexpr std::size_t kHeader = 3;

// Clove flag bits: delivery kind in bits 6-5, then two optional fields the encoder never
// sets but a decoder must step over.
constexpr std::uint8_t kCloveSkip32 = 0x80;
constexpr std::uint8_t kCloveSkip4 = 0x10;
constexpr int kCloveKindShift = 5;

// The variant order of CloveDelivery is the wire order of the delivery kinds.
std::uint8_t delivery_flag(const CloveDelivery& d) {
  return static_cast<std::uint8_t>(d.value.index() << kCloveKindShift);
}

std::size_t delivery_fields_size(const CloveDelivery& d) {
  switch (d.value.index()) {
    case 0: return 0;
    case 3: return 36;
    default: return 32;
  }
}

Result<std::size_t> checked(std::size_t body, std::size_t limit, const char* too_long) {
  if (body > limit) return fail(RatchetError::Malformed, too_long);
  return body;
}

// The body length of one block, or the error of the limit it breaks.
struct BodySize {
  Result<std::size_t> operator()(const RatchetBlock::DateTime&) const { return 4; }
  Result<std::size_t> operator()(const RatchetBlock::Termination& b) const {
    return checked(1 + b.data.size(), kMaxBody, "Termination block exceeds 65535 bytes");
  }
  Result<std::size_t> operator()(const RatchetBlock::Options& b) const {
    return checked(b.data.size(), kMaxBody, "Options block exceeds 65535 bytes");
  }
  Result<std::size_t> operator()(const RatchetBlock::MessageNumber&) const { return 2; }
  Result<std::size_t> operator()(const RatchetBlock::NextKey& b) const {
    if (!b.public_key) return 3;
    if (b.public_key->size() != 32) return fail(RatchetError::Malformed, "NextKey public_key must be 32 bytes");
    return 35;
  }
  Result<std::size_t> operator()(const RatchetBlock::Ack& b) const {
    if (b.entries.size() > kMaxBody / 4) return fail(RatchetError::Malformed, "Ack block exceeds 65535 bytes");
    return 4 * b.entries.size();
  }
  Result<std::size_t> operator()(const RatchetBlock::AckRequest&) const { return 1; }
  Result<std::size_t> operator()(const RatchetBlock::GarlicClove& b) const {
    return checked(1 + delivery_fields_size(b.delivery) + b.message.size(), kMaxBody,
                   "GarlicClove block exceeds 65535 bytes");
  }
  Result<std::size_t> operator()(const RatchetBlock::Padding& b) const {
    return checked(b.data.size(), kMaxBody, "Padding block exceeds 65535 bytes");
  }
  Result<std::size_t> operator()(const RatchetBlock::Unknown& b) const {
    return checked(b.data.size(), kMaxBody, "Ratchet block exceeds 65535 bytes");
  }
};

// Writes one block whose size was checked; `body` is that size.
struct BlockWriter {
  encoding::Writer& w;

  void head(std::uint8_t type, std::size_t body) const {
    w.write_u8(type);
    w.write_u16_be(static_cast<std::uint32_t>(body));
  }

  void operator()(const RatchetBlock::DateTime& b) const {
    head(kBlockDateTime, 4);
    w.write_u32_be(b.seconds);
  }
  void operator()(const RatchetBlock::Termination& b) const {
    head(kBlockTermination, 1 + b.data.size());
    w.write_u8(b.reason);
    w.write_bytes(b.data);
  }
  void operator()(const RatchetBlock::Options& b) const {
    head(kBlockOptions, b.data.size());
    w.write_bytes(b.data);
  }
  void operator()(const RatchetBlock::MessageNumber& b) const {
    head(kBlockMessageNumber, 2);
    w.write_u16_be(b.number);
  }
  void operator()(const RatchetBlock::NextKey& b) const {
    head(kBlockNextKey, b.public_key ? 35 : 3);
    w.write_u8(b.flags);
    w.write_u16_be(b.key_id);
    if (b.public_key) w.write_bytes(*b.public_key);
  }
  void operator()(const RatchetBlock::Ack& b) const {
    head(kBlockAck, 4 * b.entries.size());
    for (const auto& e : b.entries) {
      w.write_u16_be(e.tag_set_id);
      w.write_u16_be(e.message_number);
    }
  }
  void operator()(const RatchetBlock::AckRequest& b) const {
    head(kBlockAckRequest, 1);
    w.write_u8(b.flags);
  }
  void operator()(const RatchetBlock::GarlicClove& b) const {
    head(kBlockGarlicClove, 1 + delivery_fields_size(b.delivery) + b.message.size());
    w.write_u8(delivery_flag(b.delivery));
    std::visit(*this, b.delivery.value);
    w.write_bytes(b.message);
  }
  void operator()(const CloveDelivery::Local&) const {}
  void operator()(const CloveDelivery::Destination& d) const { w.write_bytes(d.hash.view()); }
  void operator()(const CloveDelivery::Router& d) const { w.write_bytes(d.hash.view()); }
  void operator()(const CloveDelivery::Tunnel& d) const {
    w.write_bytes(d.gateway.view());
    w.write_u32_be(d.tunnel_id);
  }
  void operator()(const RatchetBlock::Padding& b) const {
    head(kBlockPadding, b.data.size());
    w.write_bytes(b.data);
  }
  void operator()(const RatchetBlock::Unknown& b) const {
    head(b.block_type, b.data.size());
    w.write_bytes(b.data);
  }
};

template <typename T>
Result<T> encoding_error(Result<T> r) {
  if (r) return r;
  return wrap(RatchetError::Encoding, std::move(r.error()));
}

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

Bytes copy(ByteView v) { return Bytes(v.begin(), v.end()); }

Result<common::Hash> read_hash(encoding::Reader& r) {
  auto h = common::Hash::decode(r);
  if (!h) return wrap(RatchetError::Common, std::move(h.error()));
  return *h;
}

Result<RatchetBlock> decode_clove(ByteView body) {
  encoding::Reader r(body);
  auto flag = encoding_error(r.read_u8());
  if (!flag) return std::unexpected(std::move(flag.error()));
  if ((*flag & kCloveSkip32) != 0) {
    if (auto s = encoding_error(r.skip(32)); !s) return std::unexpected(std::move(s.error()));
  }
  CloveDelivery delivery;
  switch ((*flag >> kCloveKindShift) & 0x03) {
    case 0: break;
    case 1: {
      auto h = read_hash(r);
      if (!h) return std::unexpected(std::move(h.error()));
      delivery = CloveDelivery::Destination{*h};
      break;
    }
    case 2: {
      auto h = read_hash(r);
      if (!h) return std::unexpected(std::move(h.error()));
      delivery = CloveDelivery::Router{*h};
      break;
    }
    default: {
      auto h = read_hash(r);
      if (!h) return std::unexpected(std::move(h.error()));
      auto id = encoding_error(r.read_u32_be());
      if (!id) return std::unexpected(std::move(id.error()));
      delivery = CloveDelivery::Tunnel{*h, *id};
      break;
    }
  }
  if ((*flag & kCloveSkip4) != 0) {
    if (auto s = encoding_error(r.skip(4)); !s) return std::unexpected(std::move(s.error()));
  }
  return RatchetBlock::GarlicClove{std::move(delivery), r.read_remaining()};
}

Result<RatchetBlock> decode_body(std::uint8_t type, ByteView v) {
  switch (type) {
    case kBlockDateTime:
      if (v.size() != 4) return fail(RatchetError::Malformed, msg("DateTime block must be 4 bytes, got ", v.size()));
      return RatchetBlock::DateTime{static_cast<std::uint32_t>(be16(v.data())) << 16 | be16(v.data() + 2)};
    case kBlockTermination:
      if (v.empty()) return fail(RatchetError::Malformed, "Termination block must be at least 1 byte");
      return RatchetBlock::Termination{v[0], copy(v.subspan(1))};
    case kBlockOptions: return RatchetBlock::Options{copy(v)};
    case kBlockMessageNumber:
      if (v.size() != 2)
        return fail(RatchetError::Malformed, msg("MessageNumber block must be 2 bytes, got ", v.size()));
      return RatchetBlock::MessageNumber{be16(v.data())};
    case kBlockNextKey: {
      if (v.size() < 3) return fail(RatchetError::Malformed, "NextKey block shorter than 3 bytes");
      RatchetBlock::NextKey k{v[0], be16(v.data() + 1), std::nullopt};
      if ((k.flags & RatchetBlock::NextKey::kFlagKeyPresent) != 0) {
        encoding::Reader r(v.subspan(3));
        auto key = encoding_error(r.read_bytes(32));
        if (!key) return std::unexpected(std::move(key.error()));
        k.public_key = std::move(*key);
      }
      return k;
    }
    case kBlockAck: {
      if (v.size() % 4 != 0) return fail(RatchetError::Malformed, "Ack block size must be multiple of 4 bytes");
      RatchetBlock::Ack ack;
      ack.entries.reserve(v.size() / 4);
      for (std::size_t i = 0; i < v.size(); i += 4) ack.entries.push_back({be16(v.data() + i), be16(v.data() + i + 2)});
      return ack;
    }
    case kBlockAckRequest:
      if (v.size() != 1) return fail(RatchetError::Malformed, "AckRequest block must be 1 byte");
      return RatchetBlock::AckRequest{v[0]};
    case kBlockGarlicClove: return decode_clove(v);
    case kBlockPadding: return RatchetBlock::Padding{copy(v)};
    default: return RatchetBlock::Unknown{type, copy(v)};
  }
}

// The number of block headers a walk over the payload meets, so the result is allocated
// once; the decoder proper checks every length.
std::size_t count_blocks(ByteView payload) {
  std::size_t n = 0;
  for (std::size_t pos = 0; pos < payload.size() && payload.size() - pos >= kHeader; ++n)
    pos += kHeader + be16(payload.data() + pos + 1);
  return n;
}

}  // namespace

Result<std::size_t> encoded_blocks_size(std::span<const RatchetBlock> blocks) {
  std::size_t total = 0;
  for (const RatchetBlock& b : blocks) {
    auto body = std::visit(BodySize{}, b.value);
    if (!body) return body;
    total += kHeader + *body;
  }
  return total;
}

void append_blocks(encoding::Writer& w, std::span<const RatchetBlock> blocks) {
  for (const RatchetBlock& b : blocks) std::visit(BlockWriter{w}, b.value);
}

Result<Bytes> encode_blocks(const RatchetBlocks& blocks) {
  auto size = encoded_blocks_size(blocks);
  if (!size) return std::unexpected(std::move(size.error()));
  encoding::Writer w(*size);
  append_blocks(w, blocks);
  return std::move(w.buf);
}

Result<RatchetBlocks> decode_blocks(ByteView payload) {
  RatchetBlocks out;
  out.reserve(count_blocks(payload));
  encoding::Reader r(payload);
  while (r.remaining() > 0) {
    auto type = encoding_error(r.read_u8());
    if (!type) return std::unexpected(std::move(type.error()));
    auto len = encoding_error(r.read_u16_be());
    if (!len) return std::unexpected(std::move(len.error()));
    auto body = encoding_error(r.read_view(*len));
    if (!body) return std::unexpected(std::move(body.error()));
    auto block = decode_body(*type, *body);
    if (!block) return std::unexpected(std::move(block.error()));
    out.push_back(std::move(*block));
  }
  return out;
}

}  // namespace ratchet
