#include "bittorrent/peer_wire.h"

#include <algorithm>
#include <string_view>

#include "bittorrent/bencode.h"
#include "encoding/reader.h"
#include "encoding/writer.h"

namespace bittorrent {

namespace {

constexpr std::string_view protocol_name = "BitTorrent protocol";

std::uint32_t be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// Reads the id byte and the fields of one frame body.
Result<PeerMessage> decode_body(ByteView body) {
  encoding::Reader r(body);
  auto id = r.read_u8();
  if (!id) return wrap(BittorrentError::Encoding, std::move(id.error()));
  auto u32 = [&r](std::uint32_t& out) -> Result<void> {
    auto v = r.read_u32_be();
    if (!v) return wrap(BittorrentError::Encoding, std::move(v.error()));
    out = *v;
    return {};
  };
  auto triple = [&u32](std::uint32_t& a, std::uint32_t& b, std::uint32_t& c) -> Result<void> {
    if (auto x = u32(a); !x) return x;
    if (auto x = u32(b); !x) return x;
    return u32(c);
  };
  PeerMessage m;
  switch (*id) {
    case 0: m.kind = PeerMessage::Choke{}; break;
    case 1: m.kind = PeerMessage::Unchoke{}; break;
    case 2: m.kind = PeerMessage::Interested{}; break;
    case 3: m.kind = PeerMessage::NotInterested{}; break;
    case 4: {
      PeerMessage::Have h;
      if (auto x = u32(h.index); !x) return std::unexpected(std::move(x.error()));
      m.kind = h;
      break;
    }
    case 5: m.kind = PeerMessage::Bitfield{r.read_remaining()}; break;
    case 6: {
      PeerMessage::Request q;
      if (auto x = triple(q.index, q.begin, q.length); !x) return std::unexpected(std::move(x.error()));
      m.kind = q;
      break;
    }
    case 7: {
      PeerMessage::Piece p;
      if (auto x = u32(p.index); !x) return std::unexpected(std::move(x.error()));
      if (auto x = u32(p.begin); !x) return std::unexpected(std::move(x.error()));
      p.block = r.read_remaining();
      m.kind = std::move(p);
      break;
    }
    case 8: {
      PeerMessage::Cancel c;
      if (auto x = triple(c.index, c.begin, c.length); !x) return std::unexpected(std::move(x.error()));
      m.kind = c;
      break;
    }
    case 13: {
      PeerMessage::SuggestPiece s;
      if (auto x = u32(s.index); !x) return std::unexpected(std::move(x.error()));
      m.kind = s;
      break;
    }
    case 14: m.kind = PeerMessage::HaveAll{}; break;
    case 15: m.kind = PeerMessage::HaveNone{}; break;
    case 16: {
      PeerMessage::RejectRequest q;
      if (auto x = triple(q.index, q.begin, q.length); !x) return std::unexpected(std::move(x.error()));
      m.kind = q;
      break;
    }
    case 17: {
      PeerMessage::AllowedFast a;
      if (auto x = u32(a.index); !x) return std::unexpected(std::move(x.error()));
      m.kind = a;
      break;
    }
    case 20: {
      PeerMessage::Extended e;
      auto ext = r.read_u8();
      if (!ext) return wrap(BittorrentError::Encoding, std::move(ext.error()));
      e.id = *ext;
      e.payload = r.read_remaining();
      m.kind = std::move(e);
      break;
    }
    default: m.kind = PeerMessage::KeepAlive{}; break;
  }
  return m;
}

// The frame at offset: its total size (prefix included) and its message; size 0 while the
// frame is incomplete. A too-large length fails without a size.
struct FrameAt {
  std::size_t size = 0;
  Result<PeerMessage> message = PeerMessage{};
};

Result<FrameAt> frame_at(ByteView buffer, std::size_t offset) {
  FrameAt f;
  if (buffer.size() - offset < 4) return f;
  const std::uint32_t length = be32(buffer.data() + offset);
  if (length > max_peer_frame) return fail(BittorrentError::Wire, msg("peer wire frame too large: ", length));
  if (buffer.size() - offset - 4 < length) return f;
  f.size = 4 + static_cast<std::size_t>(length);
  if (length > 0) f.message = decode_body(buffer.subspan(offset + 4, length));
  return f;
}

void write_triple(encoding::Writer& w, std::uint32_t id, std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  w.write_u32_be(13);
  w.write_u8(id);
  w.write_u32_be(a);
  w.write_u32_be(b);
  w.write_u32_be(c);
}

void write_index(encoding::Writer& w, std::uint32_t id, std::uint32_t index) {
  w.write_u32_be(5);
  w.write_u8(id);
  w.write_u32_be(index);
}

void write_bare(encoding::Writer& w, std::uint32_t id) {
  w.write_u32_be(1);
  w.write_u8(id);
}

}  // namespace

Result<Bytes> encode_handshake(ByteView info_hash, ByteView peer_id) {
  if (info_hash.size() != 20 || peer_id.size() != 20) {
    return fail(BittorrentError::Wire, "BitTorrent handshake requires 20B info_hash and peer_id");
  }
  encoding::Writer w(handshake_size);
  w.write_u8(static_cast<std::uint32_t>(protocol_name.size()));
  w.write_bytes(as_bytes(protocol_name));
  const std::uint8_t reserved[8] = {0, 0, 0, 0, 0, 0x10, 0, 0};
  w.write_bytes(reserved);
  w.write_bytes(info_hash);
  w.write_bytes(peer_id);
  return std::move(w.buf);
}

Result<Handshake> decode_handshake(ByteView received) {
  if (received.size() < handshake_size) return fail(BittorrentError::Wire, "handshake shorter than 68 bytes");
  if (received[0] != protocol_name.size() ||
      !std::equal(protocol_name.begin(), protocol_name.end(), received.begin() + 1)) {
    return fail(BittorrentError::Wire, "invalid BitTorrent protocol header");
  }
  Handshake h;
  std::copy_n(received.begin() + 20, 8, h.reserved.begin());
  std::copy_n(received.begin() + 28, 20, h.info_hash.begin());
  std::copy_n(received.begin() + 48, 20, h.peer_id.begin());
  return h;
}

Bytes encode_peer_message(const PeerMessage& message) {
  encoding::Writer w(32);
  std::visit(
      [&w](const auto& m) {
        using M = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<M, PeerMessage::KeepAlive>) {
          w.write_u32_be(0);
        } else if constexpr (std::is_same_v<M, PeerMessage::Choke>) {
          write_bare(w, 0);
        } else if constexpr (std::is_same_v<M, PeerMessage::Unchoke>) {
          write_bare(w, 1);
        } else if constexpr (std::is_same_v<M, PeerMessage::Interested>) {
          write_bare(w, 2);
        } else if constexpr (std::is_same_v<M, PeerMessage::NotInterested>) {
          write_bare(w, 3);
        } else if constexpr (std::is_same_v<M, PeerMessage::Have>) {
          write_index(w, 4, m.index);
        } else if constexpr (std::is_same_v<M, PeerMessage::Bitfield>) {
          w.write_u32_be(static_cast<std::uint32_t>(1 + m.bits.size()));
          w.write_u8(5);
          w.write_bytes(m.bits);
        } else if constexpr (std::is_same_v<M, PeerMessage::Request>) {
          write_triple(w, 6, m.index, m.begin, m.length);
        } else if constexpr (std::is_same_v<M, PeerMessage::Piece>) {
          w.buf.reserve(13 + m.block.size());
          w.write_u32_be(static_cast<std::uint32_t>(9 + m.block.size()));
          w.write_u8(7);
          w.write_u32_be(m.index);
          w.write_u32_be(m.begin);
          w.write_bytes(m.block);
        } else if constexpr (std::is_same_v<M, PeerMessage::Cancel>) {
          write_triple(w, 8, m.index, m.begin, m.length);
        } else if constexpr (std::is_same_v<M, PeerMessage::SuggestPiece>) {
          write_index(w, 13, m.index);
        } else if constexpr (std::is_same_v<M, PeerMessage::HaveAll>) {
          write_bare(w, 14);
        } else if constexpr (std::is_same_v<M, PeerMessage::HaveNone>) {
          write_bare(w, 15);
        } else if constexpr (std::is_same_v<M, PeerMessage::RejectRequest>) {
          write_triple(w, 16, m.index, m.begin, m.length);
        } else if constexpr (std::is_same_v<M, PeerMessage::AllowedFast>) {
          write_index(w, 17, m.index);
        } else if constexpr (std::is_same_v<M, PeerMessage::Extended>) {
          w.write_u32_be(static_cast<std::uint32_t>(2 + m.payload.size()));
          w.write_u8(20);
          w.write_u8(m.id);
          w.write_bytes(m.payload);
        }
      },
      message.kind);
  return std::move(w.buf);
}

Result<std::optional<PeerMessage>> decode_peer_frame(Bytes& buffer) {
  auto frame = frame_at(buffer, 0);
  if (!frame) return std::unexpected(std::move(frame.error()));
  if (frame->size == 0) return std::optional<PeerMessage>{};
  consume_front_bytes(buffer, frame->size);
  if (!frame->message) return std::unexpected(std::move(frame->message.error()));
  return std::optional<PeerMessage>(std::move(*frame->message));
}

PeerFrames decode_peer_frames(Bytes& buffer, std::size_t max_frames) {
  PeerFrames out;
  std::size_t offset = 0;
  while (out.messages.size() < max_frames) {
    auto frame = frame_at(buffer, offset);
    if (!frame) {
      out.error = std::move(frame.error());
      break;
    }
    if (frame->size == 0) break;
    offset += frame->size;
    if (!frame->message) {
      out.error = std::move(frame->message.error());
      break;
    }
    out.messages.push_back(std::move(*frame->message));
  }
  consume_front_bytes(buffer, offset);
  return out;
}

void consume_front_bytes(Bytes& buffer, std::size_t n) {
  if (n >= buffer.size()) {
    buffer.clear();
  } else {
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
  }
}

Bytes encode_i2p_pex(std::span<const common::Hash> peers) {
  const std::size_t count = std::min(peers.size(), max_pex_peers);
  Bytes added;
  added.reserve(count * 32);
  for (std::size_t i = 0; i < count; ++i) added.insert(added.end(), peers[i].bytes.begin(), peers[i].bytes.end());
  BVal::Dict dict;
  dict.push_back(BDictEntry{"added", BVal::bytes(added)});
  encoding::Writer w(16 + count * 32);
  encode_bval_into(w, BVal::dict(std::move(dict)));
  return std::move(w.buf);
}

std::optional<std::vector<common::Hash>> decode_i2p_pex(ByteView payload) {
  auto root = bencode_decode(payload);
  if (!root) return std::nullopt;
  const BVal::Bytes* added = bdict_get_bytes(*root, "added");
  if (added == nullptr) return std::nullopt;
  const std::size_t count = std::min(added->size() / 32, max_pex_peers);
  std::vector<common::Hash> peers(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::copy_n(added->begin() + static_cast<std::ptrdiff_t>(i * 32), 32, peers[i].bytes.begin());
  }
  return peers;
}

}  // namespace bittorrent
