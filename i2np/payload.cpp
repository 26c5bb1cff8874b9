#include "i2np/payload.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "encoding/reader.h"
#include "encoding/writer.h"

namespace i2np {

namespace {

template <typename... F>
struct Overloaded : F... {
  using F::operator()...;
};

using DatabaseStore = I2npPayload::DatabaseStore;
using DatabaseLookup = I2npPayload::DatabaseLookup;
using DatabaseSearchReply = I2npPayload::DatabaseSearchReply;
using DeliveryStatus = I2npPayload::DeliveryStatus;
using Garlic = I2npPayload::Garlic;
using TunnelData = I2npPayload::TunnelData;
using TunnelGateway = I2npPayload::TunnelGateway;
using Data = I2npPayload::Data;
using ShortTunnelBuild = I2npPayload::ShortTunnelBuild;
using OutboundTunnelBuildReply = I2npPayload::OutboundTunnelBuildReply;
using Unknown = I2npPayload::Unknown;

Result<common::Hash> read_hash(encoding::Reader& r) {
  auto h = common::Hash::decode(r);
  if (!h) return wrap(I2npError::Common, std::move(h.error()));
  return h;
}

Result<std::vector<common::Hash>> read_hashes(encoding::Reader& r, std::size_t count) {
  std::vector<common::Hash> out;
  // A count is only a claim: reserve no more than the bytes present can fill.
  out.reserve(std::min(count, r.remaining() / 32));
  for (std::size_t i = 0; i < count; ++i) {
    auto h = read_hash(r);
    if (!h) return std::unexpected(std::move(h.error()));
    out.push_back(*h);
  }
  return out;
}

// ---- encoding ----

Result<void> encode_store(const DatabaseStore& m, encoding::Writer& w) {
  if (m.reply_token != 0 && !m.reply_gateway) {
    return fail(I2npError::Invalid, "DatabaseStore with non-zero reply_token requires reply_gateway");
  }
  w.write_bytes(m.key.bytes);
  w.write_u8(m.store_type);
  w.write_u32_be(m.reply_token);
  if (m.reply_token != 0) {
    w.write_u32_be(m.reply_tunnel_id);
    w.write_bytes(m.reply_gateway->bytes);
  }
  w.write_bytes(m.data);
  return {};
}

Result<void> encode_lookup(const DatabaseLookup& m, encoding::Writer& w) {
  if ((m.flags & DatabaseLookup::kFlagTunnelReply) != 0 && !m.reply_tunnel_id) {
    return fail(I2npError::Invalid, "DatabaseLookup with tunnel delivery flag requires reply_tunnel_id");
  }
  if (m.excluded_peers.size() > 65535) {
    return fail(I2npError::Invalid, msg("DatabaseLookup excluded peer count exceeds 65535: ", m.excluded_peers.size()));
  }
  if (m.encrypted()) {
    if (!m.reply_key) return fail(I2npError::Invalid, "DatabaseLookup encryption flag requires reply_key");
    if (m.reply_key->size() != 32) {
      return fail(I2npError::Invalid, msg("DatabaseLookup reply_key must be 32 bytes, got ", m.reply_key->size()));
    }
    if (m.reply_tags.empty() || m.reply_tags.size() > 255) {
      return fail(I2npError::Invalid, "DatabaseLookup encrypted reply requires 1..255 reply_tags");
    }
    for (const Bytes& tag : m.reply_tags) {
      if (tag.size() != m.tag_length()) {
        return fail(I2npError::Invalid,
                    msg("DatabaseLookup reply_tag must be ", m.tag_length(), " bytes, got ", tag.size()));
      }
    }
  }
  w.write_bytes(m.key.bytes);
  w.write_bytes(m.from.bytes);
  w.write_u8(m.flags);
  if ((m.flags & DatabaseLookup::kFlagTunnelReply) != 0) w.write_u32_be(*m.reply_tunnel_id);
  w.write_u16_be(static_cast<std::uint32_t>(m.excluded_peers.size()));
  for (const common::Hash& h : m.excluded_peers) w.write_bytes(h.bytes);
  if (m.encrypted()) {
    w.write_bytes(*m.reply_key);
    w.write_u8(static_cast<std::uint32_t>(m.reply_tags.size()));
    for (const Bytes& tag : m.reply_tags) w.write_bytes(tag);
  }
  return {};
}

Result<void> encode_search_reply(const DatabaseSearchReply& m, encoding::Writer& w) {
  if (m.peers.size() > 255) {
    return fail(I2npError::Invalid, msg("DatabaseSearchReply peer count exceeds 255: ", m.peers.size()));
  }
  w.write_bytes(m.key.bytes);
  w.write_u8(static_cast<std::uint32_t>(m.peers.size()));
  for (const common::Hash& h : m.peers) w.write_bytes(h.bytes);
  w.write_bytes(m.from.bytes);
  return {};
}

Result<void> encode_length_prefixed(const char* name, const Bytes& data, encoding::Writer& w) {
  if (data.size() > std::numeric_limits<std::uint32_t>::max()) {
    return fail(I2npError::Invalid, msg(name, " payload exceeds 4294967295 bytes"));
  }
  w.write_u32_be(static_cast<std::uint32_t>(data.size()));
  w.write_bytes(data);
  return {};
}

Result<void> encode_records(const char* name, const std::vector<Bytes>& records, encoding::Writer& w) {
  if (records.size() > 255) {
    return fail(I2npError::Invalid, msg(name, " record count exceeds 255: ", records.size()));
  }
  for (const Bytes& rec : records) {
    if (rec.size() != I2npPayload::kBuildRecordSize) {
      return fail(I2npError::Invalid, msg("ShortTunnelBuild record must be 218 bytes, got ", rec.size()));
    }
  }
  w.write_u8(static_cast<std::uint32_t>(records.size()));
  for (const Bytes& rec : records) w.write_bytes(rec);
  return {};
}

// ---- decoding ----

Result<I2npPayload> decode_store(encoding::Reader& r) {
  DatabaseStore m;
  auto key = read_hash(r);
  if (!key) return std::unexpected(std::move(key.error()));
  m.key = *key;
  auto store_type = r.read_u8();
  if (!store_type) return wrap(I2npError::Encoding, std::move(store_type.error()));
  m.store_type = *store_type;
  auto token = r.read_u32_be();
  if (!token) return wrap(I2npError::Encoding, std::move(token.error()));
  m.reply_token = *token;
  if (m.reply_token != 0) {
    auto tunnel_id = r.read_u32_be();
    if (!tunnel_id) return wrap(I2npError::Encoding, std::move(tunnel_id.error()));
    m.reply_tunnel_id = *tunnel_id;
    auto gateway = read_hash(r);
    if (!gateway) return std::unexpected(std::move(gateway.error()));
    m.reply_gateway = *gateway;
  }
  m.data = r.read_remaining();
  return I2npPayload{std::move(m)};
}

Result<I2npPayload> decode_lookup(encoding::Reader& r) {
  DatabaseLookup m;
  auto key = read_hash(r);
  if (!key) return std::unexpected(std::move(key.error()));
  m.key = *key;
  auto from = read_hash(r);
  if (!from) return std::unexpected(std::move(from.error()));
  m.from = *from;
  auto flags = r.read_u8();
  if (!flags) return wrap(I2npError::Encoding, std::move(flags.error()));
  m.flags = *flags;
  if ((m.flags & DatabaseLookup::kFlagTunnelReply) != 0) {
    auto tunnel_id = r.read_u32_be();
    if (!tunnel_id) return wrap(I2npError::Encoding, std::move(tunnel_id.error()));
    m.reply_tunnel_id = *tunnel_id;
  }
  auto excluded_count = r.read_u16_be();
  if (!excluded_count) return wrap(I2npError::Encoding, std::move(excluded_count.error()));
  auto excluded = read_hashes(r, *excluded_count);
  if (!excluded) return std::unexpected(std::move(excluded.error()));
  m.excluded_peers = std::move(*excluded);
  if (m.encrypted()) {
    auto reply_key = r.read_bytes(32);
    if (!reply_key) return wrap(I2npError::Encoding, std::move(reply_key.error()));
    m.reply_key = std::move(*reply_key);
    auto tag_count = r.read_u8();
    if (!tag_count) return wrap(I2npError::Encoding, std::move(tag_count.error()));
    m.reply_tags.reserve(*tag_count);
    for (unsigned i = 0; i < *tag_count; ++i) {
      auto tag = r.read_bytes(static_cast<std::int64_t>(m.tag_length()));
      if (!tag) return wrap(I2npError::Encoding, std::move(tag.error()));
      m.reply_tags.push_back(std::move(*tag));
    }
  }
  return I2npPayload{std::move(m)};
}

Result<I2npPayload> decode_search_reply(encoding::Reader& r) {
  DatabaseSearchReply m;
  auto key = read_hash(r);
  if (!key) return std::unexpected(std::move(key.error()));
  m.key = *key;
  auto count = r.read_u8();
  if (!count) return wrap(I2npError::Encoding, std::move(count.error()));
  auto peers = read_hashes(r, *count);
  if (!peers) return std::unexpected(std::move(peers.error()));
  m.peers = std::move(*peers);
  auto from = read_hash(r);
  if (!from) return std::unexpected(std::move(from.error()));
  m.from = *from;
  return I2npPayload{std::move(m)};
}

Result<I2npPayload> decode_delivery_status(encoding::Reader& r) {
  auto msg_id = r.read_u32_be();
  if (!msg_id) return wrap(I2npError::Encoding, std::move(msg_id.error()));
  auto timestamp = r.read_u64_be();
  if (!timestamp) return wrap(I2npError::Encoding, std::move(timestamp.error()));
  return I2npPayload{DeliveryStatus{*msg_id, *timestamp}};
}

Result<Bytes> read_length_prefixed(encoding::Reader& r) {
  auto len = r.read_u32_be();
  if (!len) return wrap(I2npError::Encoding, std::move(len.error()));
  auto bytes = r.read_bytes(*len);
  if (!bytes) return wrap(I2npError::Encoding, std::move(bytes.error()));
  return bytes;
}

Result<I2npPayload> decode_tunnel_data(encoding::Reader& r) {
  auto tunnel_id = r.read_u32_be();
  if (!tunnel_id) return wrap(I2npError::Encoding, std::move(tunnel_id.error()));
  auto data = r.read_bytes(TunnelData::kDataSize);
  if (!data) return wrap(I2npError::Encoding, std::move(data.error()));
  return I2npPayload{TunnelData{*tunnel_id, std::move(*data)}};
}

Result<I2npPayload> decode_tunnel_gateway(encoding::Reader& r) {
  auto tunnel_id = r.read_u32_be();
  if (!tunnel_id) return wrap(I2npError::Encoding, std::move(tunnel_id.error()));
  auto len = r.read_u16_be();
  if (!len) return wrap(I2npError::Encoding, std::move(len.error()));
  auto data = r.read_bytes(*len);
  if (!data) return wrap(I2npError::Encoding, std::move(data.error()));
  return I2npPayload{TunnelGateway{*tunnel_id, std::move(*data)}};
}

Result<std::vector<Bytes>> read_records(encoding::Reader& r) {
  auto count = r.read_u8();
  if (!count) return wrap(I2npError::Encoding, std::move(count.error()));
  std::vector<Bytes> records;
  records.reserve(*count);
  for (unsigned i = 0; i < *count; ++i) {
    auto rec = r.read_bytes(I2npPayload::kBuildRecordSize);
    if (!rec) return wrap(I2npError::Encoding, std::move(rec.error()));
    records.push_back(std::move(*rec));
  }
  return records;
}

}  // namespace

I2npMessageType I2npPayload::msg_type() const {
  return std::visit(Overloaded{
                        [](const DatabaseStore&) { return I2npMessageType::DatabaseStore; },
                        [](const DatabaseLookup&) { return I2npMessageType::DatabaseLookup; },
                        [](const DatabaseSearchReply&) { return I2npMessageType::DatabaseSearchReply; },
                        [](const DeliveryStatus&) { return I2npMessageType::DeliveryStatus; },
                        [](const Garlic&) { return I2npMessageType::Garlic; },
                        [](const TunnelData&) { return I2npMessageType::TunnelData; },
                        [](const TunnelGateway&) { return I2npMessageType::TunnelGateway; },
                        [](const Data&) { return I2npMessageType::Data; },
                        [](const ShortTunnelBuild&) { return I2npMessageType::ShortTunnelBuild; },
                        [](const OutboundTunnelBuildReply&) { return I2npMessageType::OutboundTunnelBuildReply; },
                        [](const Unknown& u) { return u.msg_type; },
                    },
                    value);
}

Result<Bytes> I2npPayload::encode_body() const {
  encoding::Writer w(body_size_hint());
  if (auto ok = encode_body_to(w); !ok) return std::unexpected(std::move(ok.error()));
  return std::move(w.buf);
}

std::size_t I2npPayload::body_size_hint() const {
  return std::visit(Overloaded{
                        [](const Garlic& m) { return 4 + m.data.size(); },
                        [](const TunnelData& m) { return 4 + m.data.size(); },
                        [](const TunnelGateway& m) { return 6 + m.data.size(); },
                        [](const Data& m) { return 4 + m.data.size(); },
                        [](const ShortTunnelBuild& m) { return 1 + m.records.size() * kBuildRecordSize; },
                        [](const OutboundTunnelBuildReply& m) { return 1 + m.records.size() * kBuildRecordSize; },
                        [](const Unknown& m) { return m.body.size(); },
                        [](const auto&) { return std::size_t{64}; },
                    },
                    value);
}

Result<void> I2npPayload::encode_body_to(encoding::Writer& w) const {
  return std::visit(
      Overloaded{
          [&w](const DatabaseStore& m) { return encode_store(m, w); },
          [&w](const DatabaseLookup& m) { return encode_lookup(m, w); },
          [&w](const DatabaseSearchReply& m) { return encode_search_reply(m, w); },
          [&w](const DeliveryStatus& m) -> Result<void> {
            w.write_u32_be(m.msg_id);
            w.write_u64_be(m.timestamp);
            return {};
          },
          [&w](const Garlic& m) { return encode_length_prefixed("Garlic", m.data, w); },
          [&w](const TunnelData& m) -> Result<void> {
            if (m.data.size() != TunnelData::kDataSize) {
              return fail(I2npError::Invalid, msg("TunnelData payload must be 1024 bytes, got ", m.data.size()));
            }
            w.write_u32_be(m.tunnel_id);
            w.write_bytes(m.data);
            return {};
          },
          [&w](const TunnelGateway& m) -> Result<void> {
            if (m.data.size() > 65535) return fail(I2npError::Invalid, "TunnelGateway payload exceeds 65535 bytes");
            w.write_u32_be(m.tunnel_id);
            w.write_u16_be(static_cast<std::uint32_t>(m.data.size()));
            w.write_bytes(m.data);
            return {};
          },
          [&w](const Data& m) { return encode_length_prefixed("Data", m.data, w); },
          [&w](const ShortTunnelBuild& m) { return encode_records("ShortTunnelBuild", m.records, w); },
          [&w](const OutboundTunnelBuildReply& m) { return encode_records("OutboundTunnelBuildReply", m.records, w); },
          [&w](const Unknown& m) -> Result<void> {
            w.write_bytes(m.body);
            return {};
          },
      },
      value);
}

Result<I2npPayload> I2npPayload::decode_body(I2npMessageType type, ByteView body) {
  encoding::Reader r(body);
  switch (type.kind()) {
    case I2npMessageType::Kind::DatabaseStore: return decode_store(r);
    case I2npMessageType::Kind::DatabaseLookup: return decode_lookup(r);
    case I2npMessageType::Kind::DatabaseSearchReply: return decode_search_reply(r);
    case I2npMessageType::Kind::DeliveryStatus: return decode_delivery_status(r);
    case I2npMessageType::Kind::Garlic: {
      auto data = read_length_prefixed(r);
      if (!data) return std::unexpected(std::move(data.error()));
      return I2npPayload{Garlic{std::move(*data)}};
    }
    case I2npMessageType::Kind::TunnelData: return decode_tunnel_data(r);
    case I2npMessageType::Kind::TunnelGateway: return decode_tunnel_gateway(r);
    case I2npMessageType::Kind::Data: {
      auto data = read_length_prefixed(r);
      if (!data) return std::unexpected(std::move(data.error()));
      return I2npPayload{Data{std::move(*data)}};
    }
    case I2npMessageType::Kind::ShortTunnelBuild: {
      auto records = read_records(r);
      if (!records) return std::unexpected(std::move(records.error()));
      return I2npPayload{ShortTunnelBuild{std::move(*records)}};
    }
    case I2npMessageType::Kind::OutboundTunnelBuildReply: {
      auto records = read_records(r);
      if (!records) return std::unexpected(std::move(records.error()));
      return I2npPayload{OutboundTunnelBuildReply{std::move(*records)}};
    }
    case I2npMessageType::Kind::TunnelBuild:
    case I2npMessageType::Kind::TunnelBuildReply:
    case I2npMessageType::Kind::VariableTunnelBuild:
    case I2npMessageType::Kind::VariableTunnelBuildReply:
    case I2npMessageType::Kind::Unknown: break;
  }
  return I2npPayload{Unknown{type, Bytes(body.begin(), body.end())}};
}

}  // namespace i2np
