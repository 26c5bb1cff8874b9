#include "ntcp2/block.h"

#include <algorithm>
#include <string_view>

#include "encoding/reader.h"
#include "encoding/writer.h"
#include "i2np/message.h"

namespace ntcp2 {
namespace {

constexpr std::size_t kMaxBody = 65535;

// Appends one block; fails when the body (head bytes plus data) exceeds the length field.
Result<void> put_block(encoding::Writer& w, std::uint8_t type, std::size_t body_len, std::string_view too_long) {
  if (body_len > kMaxBody) return fail(Ntcp2Error::Malformed, std::string(too_long));
  w.write_u8(type);
  w.write_u16_be(static_cast<std::uint32_t>(body_len));
  return {};
}

struct BlockWriter {
  encoding::Writer& w;

  Result<void> operator()(const Ntcp2Block::DateTime& b) const {
    w.write_u8(kBlockDateTime);
    w.write_u16_be(4);
    w.write_u32_be(b.seconds);
    return {};
  }
  Result<void> operator()(const Ntcp2Block::Options& b) const {
    if (auto r = put_block(w, kBlockOptions, b.data.size(), "NTCP2 Options block exceeds 65535 bytes"); !r) return r;
    w.write_bytes(b.data);
    return {};
  }
  Result<void> operator()(const Ntcp2Block::RouterInfo& b) const {
    if (auto r = put_block(w, kBlockRouterInfo, b.data.size() + 1, "NTCP2 RouterInfo block exceeds 65535 bytes"); !r)
      return r;
    w.write_u8(b.flag);
    w.write_bytes(b.data);
    return {};
  }
  Result<void> operator()(const Ntcp2Block::I2np& b) const {
    if (auto r = put_block(w, kBlockI2np, b.data.size(), "NTCP2 I2NP block exceeds 65535 bytes"); !r) return r;
    w.write_bytes(b.data);
    return {};
  }
  Result<void> operator()(const Ntcp2Block::Termination& b) const {
    if (auto r = put_block(w, kBlockTermination, b.extra.size() + 9, "NTCP2 Termination block exceeds 65535 bytes"); !r)
      return r;
    w.write_u64_be(b.valid_received);
    w.write_u8(b.reason);
    w.write_bytes(b.extra);
    return {};
  }
  Result<void> operator()(const Ntcp2Block::Padding& b) const {
    if (auto r = put_block(w, kBlockPadding, b.data.size(), "NTCP2 Padding block exceeds 65535 bytes"); !r) return r;
    w.write_bytes(b.data);
    return {};
  }
  Result<void> operator()(const Ntcp2Block::Unknown& b) const {
    if (auto r = put_block(w, b.block_type, b.data.size(), "NTCP2 block exceeds 65535 bytes"); !r) return r;
    w.write_bytes(b.data);
    return {};
  }
};

}  // namespace

Result<Bytes> encode_blocks(const std::vector<Ntcp2Block>& blocks) {
  // Room for every block's header and bytes, so the buffer grows once.
  std::size_t size = 0;
  for (const Ntcp2Block& b : blocks) {
    size += std::visit(
        [](const auto& v) -> std::size_t {
          if constexpr (requires { v.data.size(); }) {
            return 4 + v.data.size();
          } else {
            return 16;
          }
        },
        b.value);
  }
  encoding::Writer w(size);
  for (const Ntcp2Block& b : blocks) {
    if (auto r = std::visit(BlockWriter{w}, b.value); !r) return std::unexpected(std::move(r.error()));
  }
  return std::move(w.buf);
}

Result<void> append_i2np_block(Bytes& out, std::uint32_t msg_id, std::uint32_t expiration_s,
                               const i2np::I2npPayload& payload) {
  const std::size_t at = out.size();
  encoding::Writer w;
  w.buf = std::move(out);
  const std::size_t need = at + 3 + i2np::I2npShortHeader::kSize + payload.body_size_hint();
  if (need > w.buf.capacity()) w.buf.reserve(std::max(need, 2 * w.buf.capacity()));
  // The length is written once the message is: the body's size is exact only for some types.
  w.write_u8(kBlockI2np);
  w.write_u16_be(0);
  auto encoded = i2np::encode_short_message_to(w, msg_id, expiration_s, payload);
  out = std::move(w.buf);
  const std::size_t len = out.size() - at - 3;
  if (!encoded || len > kMaxBody) {
    out.resize(at);
    if (!encoded) return wrap(Ntcp2Error::I2np, std::move(encoded.error()));
    return fail(Ntcp2Error::Malformed, std::string("NTCP2 I2NP block exceeds 65535 bytes"));
  }
  out[at + 1] = static_cast<std::uint8_t>(len >> 8);
  out[at + 2] = static_cast<std::uint8_t>(len);
  return {};
}

Result<std::vector<Ntcp2Block>> decode_blocks(ByteView bytes) {
  std::vector<Ntcp2Block> out;
  encoding::Reader r(bytes);
  while (r.remaining() > 0) {
    auto type = r.read_u8();
    if (!type) return wrap(Ntcp2Error::Encoding, std::move(type.error()));
    auto len = r.read_u16_be();
    if (!len) return wrap(Ntcp2Error::Encoding, std::move(len.error()));
    auto body = r.read_view(*len);
    if (!body) return wrap(Ntcp2Error::Encoding, std::move(body.error()));
    const ByteView v = *body;

    switch (*type) {
      case kBlockPadding: out.emplace_back(Ntcp2Block::Padding{Bytes(v.begin(), v.end())}); break;
      case kBlockOptions: out.emplace_back(Ntcp2Block::Options{Bytes(v.begin(), v.end())}); break;
      case kBlockI2np: out.emplace_back(Ntcp2Block::I2np{Bytes(v.begin(), v.end())}); break;
      case kBlockDateTime: {
        if (v.size() != 4)
          return fail(Ntcp2Error::Malformed, msg("NTCP2 DateTime block must be 4 bytes, got ", v.size()));
        const std::uint32_t s = static_cast<std::uint32_t>(v[0]) << 24 | static_cast<std::uint32_t>(v[1]) << 16 |
                                static_cast<std::uint32_t>(v[2]) << 8 | static_cast<std::uint32_t>(v[3]);
        out.emplace_back(Ntcp2Block::DateTime{s});
        break;
      }
      case kBlockRouterInfo:
        if (v.empty()) return fail(Ntcp2Error::Malformed, "NTCP2 RouterInfo block must be at least 1 byte");
        out.emplace_back(Ntcp2Block::RouterInfo{v[0], Bytes(v.begin() + 1, v.end())});
        break;
      case kBlockTermination: {
        if (v.size() < 9)
          return fail(Ntcp2Error::Malformed, msg("NTCP2 Termination block must be at least 9 bytes, got ", v.size()));
        std::uint64_t valid = 0;
        for (std::size_t i = 0; i < 8; ++i) valid = valid << 8 | v[i];
        out.emplace_back(Ntcp2Block::Termination{valid, v[8], Bytes(v.begin() + 9, v.end())});
        break;
      }
      default: out.emplace_back(Ntcp2Block::Unknown{*type, Bytes(v.begin(), v.end())}); break;
    }
  }
  return out;
}

}  // namespace ntcp2
