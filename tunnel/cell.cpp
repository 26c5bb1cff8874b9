#include "tunnel/cell.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "crypto/ct_eq.h"
#include "crypto/sha256.h"
#include "encoding/reader.h"

namespace tunnel {

namespace {

constexpr std::size_t kChecksumOffset = 16;
constexpr std::size_t kPaddingOffset = 20;

// A fragment's bytes before its data: flag, delivery instructions, message id, size.
// At most 1 + 4 + 32 + 4 + 2 bytes.
struct FragmentHeader {
  std::array<std::uint8_t, 43> bytes{};
  std::size_t size = 0;

  void u8(std::uint32_t v) { bytes[size++] = static_cast<std::uint8_t>(v); }
  void u16(std::uint32_t v) {
    u8(v >> 8);
    u8(v);
  }
  void u32(std::uint32_t v) {
    u16(v >> 16);
    u16(v & 0xffff);
  }
  void hash(const common::Hash& h) {
    std::memcpy(bytes.data() + size, h.bytes.data(), 32);
    size += 32;
  }
};

// One fragment as it goes into a body: its header and a view of its data.
struct Piece {
  FragmentHeader header;
  ByteView data;
};

// The data size is written as 16 bits; a longer data makes the body too long, which
// assemble_cell refuses before anything is written.
FragmentHeader first_header(const TunnelDelivery& delivery, bool fragmented, std::uint32_t msg_id,
                            std::size_t data_size) {
  FragmentHeader h;
  h.u8(static_cast<std::uint32_t>(delivery.code()) << 5 | (fragmented ? 0x08u : 0u));
  if (const auto* t = std::get_if<TunnelDelivery::Tunnel>(&delivery.value)) {
    h.u32(t->tunnel_id);
    h.hash(t->router);
  } else if (const auto* r = std::get_if<TunnelDelivery::Router>(&delivery.value)) {
    h.hash(r->router);
  }
  if (fragmented) h.u32(msg_id);
  h.u16(static_cast<std::uint32_t>(data_size & 0xffff));
  return h;
}

FragmentHeader follow_on_header(int number, bool is_last, std::uint32_t msg_id, std::size_t data_size) {
  FragmentHeader h;
  h.u8(0x80u | static_cast<std::uint32_t>(number) << 1 | (is_last ? 1u : 0u));
  h.u32(msg_id);
  h.u16(static_cast<std::uint32_t>(data_size & 0xffff));
  return h;
}

Result<Piece> piece_of(const TunnelFragment& fragment) {
  if (const auto* f = std::get_if<TunnelFragment::First>(&fragment.value)) {
    return Piece{first_header(f->delivery, f->fragmented, f->msg_id, f->data.size()), f->data};
  }
  const auto& f = std::get<TunnelFragment::FollowOn>(fragment.value);
  if (f.number < 1 || f.number > kMaxFollowOnNumber) {
    return fail(TunnelError::Invalid, msg("follow-on fragment number must be 1..63, got ", f.number));
  }
  return Piece{follow_on_header(f.number, f.is_last, f.msg_id, f.data.size()), f.data};
}

Result<void> check_iv(ByteView iv) {
  if (iv.size() != kCellIvSize) {
    return fail(TunnelError::InvalidLength, msg("TunnelData IV must be 16 bytes, got ", iv.size()));
  }
  return {};
}

// The checksum input of a cell whose body starts at body_at: body || IV, into out (which
// has room for 1003 + 16 bytes); returns its length.
std::size_t checksum_input(ByteView cell, std::size_t body_at, std::uint8_t* out) {
  const std::size_t body = kCellSize - body_at;
  std::memcpy(out, cell.data() + body_at, body);
  std::memcpy(out + body, cell.data(), kCellIvSize);
  return body + kCellIvSize;
}

// The first four bytes of SHA-256(body || IV) of each cell into its checksum field;
// body_at[i] is where cell i's body starts. All cells at once, so that the hash can run
// several side by side.
void write_checksums(std::span<Bytes> cells, std::span<const std::size_t> body_at) {
  constexpr std::size_t kInput = kMaxCellBody + kCellIvSize;
  Bytes scratch(cells.size() * kInput);
  std::vector<ByteView> inputs;
  inputs.reserve(cells.size());
  for (std::size_t i = 0; i < cells.size(); ++i) {
    std::uint8_t* at = scratch.data() + i * kInput;
    inputs.push_back(ByteView(at, checksum_input(cells[i], body_at[i], at)));
  }
  std::vector<crypto::Sha256Digest> digests(cells.size());
  crypto::sha256_many(inputs, digests);
  for (std::size_t i = 0; i < cells.size(); ++i) std::memcpy(cells[i].data() + kChecksumOffset, digests[i].data(), 4);
}

// Writes the whole cell: the body at the end, then IV, checksum, padding and delimiter.
// With body_at given, the checksum is left for write_checksums and the body's offset
// stored there.
Result<Bytes> assemble_cell(ByteView iv, std::span<const Piece> pieces, ByteView padding_source,
                            std::size_t* body_at_out = nullptr) {
  std::size_t body_size = 0;
  for (const Piece& p : pieces) body_size += p.header.size + p.data.size();
  if (body_size > kMaxCellBody) {
    return fail(TunnelError::InvalidLength, msg("TunnelData fragments exceed 1003 bytes: ", body_size));
  }
  Bytes cell(kCellSize);
  const std::size_t body_at = kCellSize - body_size;
  std::uint8_t* out = cell.data() + body_at;
  for (const Piece& p : pieces) {
    std::memcpy(out, p.header.bytes.data(), p.header.size);
    out += p.header.size;
    if (!p.data.empty()) std::memcpy(out, p.data.data(), p.data.size());
    out += p.data.size();
  }
  std::memcpy(cell.data(), iv.data(), kCellIvSize);

  if (body_at_out != nullptr) {
    *body_at_out = body_at;
  } else {
    crypto::Sha256 h;
    h.update(ByteView(cell).subspan(body_at));
    h.update(iv);
    const auto digest = h.finalize();
    std::memcpy(cell.data() + kChecksumOffset, digest.data(), 4);
  }

  const std::size_t padding = body_at - 1 - kPaddingOffset;
  std::uint8_t* pad = cell.data() + kPaddingOffset;
  const std::size_t from_source = std::min(padding, padding_source.size());
  for (std::size_t i = 0; i < from_source; ++i) pad[i] = padding_source[i] == 0 ? 1 : padding_source[i];
  for (std::size_t i = from_source; i < padding; ++i) pad[i] = static_cast<std::uint8_t>(i % 254 + 1);
  cell[body_at - 1] = 0;
  return cell;
}

// A shortfall is a reader error like every other one; the hash itself cannot be wrong
// once its 32 bytes are there.
Result<common::Hash> read_hash(encoding::Reader& r) {
  auto bytes = r.read_view(32);
  if (!bytes) return wrap(TunnelError::Encoding, std::move(bytes.error()));
  auto hash = common::Hash::from_bytes(*bytes);
  if (!hash) return wrap(TunnelError::Common, std::move(hash.error()));
  return *hash;
}

Result<std::uint16_t> read_size(encoding::Reader& r) {
  auto size = r.read_u16_be();
  if (!size) return wrap(TunnelError::Encoding, std::move(size.error()));
  return *size;
}

Result<std::uint32_t> read_id(encoding::Reader& r) {
  auto id = r.read_u32_be();
  if (!id) return wrap(TunnelError::Encoding, std::move(id.error()));
  return *id;
}

// The fragment is built in place inside its variant: moving a half-filled alternative
// into the variant afterwards only makes the compiler doubt its fields.
Result<void> read_data(encoding::Reader& r, Bytes& data) {
  auto size = read_size(r);
  if (!size) return std::unexpected(std::move(size.error()));
  auto bytes = r.read_bytes(*size);
  if (!bytes) return wrap(TunnelError::Encoding, std::move(bytes.error()));
  data = std::move(*bytes);
  return {};
}

Result<void> read_follow_on(encoding::Reader& r, std::uint8_t flag, TunnelFragment::FollowOn& f) {
  f.number = (flag >> 1) & 0x3f;
  f.is_last = (flag & 0x01) != 0;
  auto id = read_id(r);
  if (!id) return std::unexpected(std::move(id.error()));
  f.msg_id = *id;
  return read_data(r, f.data);
}

Result<void> read_first(encoding::Reader& r, std::uint8_t flag, TunnelFragment::First& f) {
  const int code = (flag >> 5) & 0x03;
  if (code == 3) return fail(TunnelError::Invalid, msg("invalid TunnelData delivery type: ", code));
  if (code == 1) {
    auto id = read_id(r);
    if (!id) return std::unexpected(std::move(id.error()));
    auto hash = read_hash(r);
    if (!hash) return std::unexpected(std::move(hash.error()));
    f.delivery.value = TunnelDelivery::Tunnel{*id, *hash};
  } else if (code == 2) {
    auto hash = read_hash(r);
    if (!hash) return std::unexpected(std::move(hash.error()));
    f.delivery.value = TunnelDelivery::Router{*hash};
  }
  f.fragmented = (flag & 0x08) != 0;
  if (f.fragmented) {
    auto id = read_id(r);
    if (!id) return std::unexpected(std::move(id.error()));
    f.msg_id = *id;
  }
  return read_data(r, f.data);
}

// Appends the next fragment of the body.
Result<void> read_fragment(encoding::Reader& r, std::vector<TunnelFragment>& out) {
  auto flag = r.read_u8();
  if (!flag) return wrap(TunnelError::Encoding, std::move(flag.error()));
  auto& value = out.emplace_back().value;
  if ((*flag & 0x80) != 0) return read_follow_on(r, *flag, value.emplace<TunnelFragment::FollowOn>());
  return read_first(r, *flag, value.emplace<TunnelFragment::First>());
}

}  // namespace

std::size_t max_tunnel_message_size(const TunnelDelivery& delivery) {
  return (kFollowOnData - delivery.instruction_size()) + kMaxFollowOnNumber * kFollowOnData;
}

Result<Bytes> pack_tunnel_cell(ByteView iv, std::span<const TunnelFragment> fragments, ByteView padding_source) {
  if (auto ok = check_iv(iv); !ok) return std::unexpected(std::move(ok.error()));
  std::vector<Piece> pieces;
  pieces.reserve(fragments.size());
  for (const TunnelFragment& f : fragments) {
    auto p = piece_of(f);
    if (!p) return std::unexpected(std::move(p.error()));
    pieces.push_back(*p);
  }
  return assemble_cell(iv, pieces, padding_source);
}

std::size_t padding_needed(const TunnelDelivery& delivery, std::size_t message_size) {
  if (message_size > max_tunnel_message_size(delivery)) return 0;
  const std::size_t b = delivery.instruction_size();
  // Unfragmented: flag, instructions, 2-byte size and the message in one body.
  if (message_size <= kMaxCellBody - 3 - b) return kMaxCellBody - 3 - b - message_size;
  // Fragmented: every cell is full but the last follow-on, whose header takes 7 bytes.
  const std::size_t rest = message_size - (kFollowOnData - b);
  const std::size_t last = (rest - 1) % kFollowOnData + 1;
  return kFollowOnData - last;
}

Result<std::vector<Bytes>> fragment_message_to_cells(const TunnelDelivery& delivery, std::uint32_t msg_id,
                                                     ByteView message, ByteView base_iv, ByteView padding_source) {
  if (base_iv.size() != kCellIvSize) return fail(TunnelError::InvalidLength, "base_iv must be 16 bytes");
  const std::size_t max = max_tunnel_message_size(delivery);
  if (message.size() > max) {
    return fail(TunnelError::InvalidLength, msg("tunnel message exceeds ", max, " bytes: ", message.size()));
  }
  const std::size_t b = delivery.instruction_size();
  std::vector<Bytes> cells;
  if (message.size() <= kMaxCellBody - 3 - b) {
    const Piece whole{first_header(delivery, false, 0, message.size()), message};
    auto cell = assemble_cell(base_iv, std::span(&whole, 1), padding_source);
    if (!cell) return std::unexpected(std::move(cell.error()));
    cells.push_back(std::move(*cell));
    return cells;
  }

  const std::size_t first_size = kFollowOnData - b;
  const std::size_t count = 1 + (message.size() - first_size + kFollowOnData - 1) / kFollowOnData;
  cells.reserve(count);
  std::vector<std::size_t> body_at(count);
  const Piece first{first_header(delivery, true, msg_id, first_size), message.first(first_size)};
  auto cell = assemble_cell(base_iv, std::span(&first, 1), padding_source, &body_at[0]);
  if (!cell) return std::unexpected(std::move(cell.error()));
  cells.push_back(std::move(*cell));

  std::array<std::uint8_t, kCellIvSize> iv{};
  std::size_t at = first_size;
  for (int g = 1; at < message.size(); ++g) {
    const std::size_t n = std::min(kFollowOnData, message.size() - at);
    const bool last = at + n == message.size();
    for (std::size_t i = 0; i < kCellIvSize; ++i) iv[i] = static_cast<std::uint8_t>(base_iv[i] ^ g);
    const Piece follow{follow_on_header(g, last, msg_id, n), message.subspan(at, n)};
    auto next = assemble_cell(iv, std::span(&follow, 1), padding_source, &body_at[cells.size()]);
    if (!next) return std::unexpected(std::move(next.error()));
    cells.push_back(std::move(*next));
    at += n;
  }
  write_checksums(cells, body_at);
  return cells;
}

namespace {

// The body of a 1024-byte cell: past the first zero at or after offset 20; nothing
// without one.
std::optional<std::size_t> body_offset(ByteView cell) {
  const auto* delimiter =
      static_cast<const std::uint8_t*>(std::memchr(cell.data() + kPaddingOffset, 0, kCellSize - kPaddingOffset));
  if (delimiter == nullptr) return std::nullopt;
  return static_cast<std::size_t>(delimiter - cell.data()) + 1;
}

Result<std::vector<TunnelFragment>> read_fragments(ByteView body) {
  std::vector<TunnelFragment> fragments;
  encoding::Reader r(body);
  while (r.remaining() > 0) {
    if (auto ok = read_fragment(r, fragments); !ok) return std::unexpected(std::move(ok.error()));
  }
  return fragments;
}

}  // namespace

Result<std::vector<TunnelFragment>> unpack_tunnel_cell(ByteView cell) {
  if (cell.size() != kCellSize) {
    return fail(TunnelError::InvalidLength, msg("TunnelData cell must be 1024 bytes, got ", cell.size()));
  }
  const auto body_at = body_offset(cell);
  if (!body_at) return fail(TunnelError::Invalid, "TunnelData cell missing 0x00 padding delimiter");
  const ByteView body = cell.subspan(*body_at);

  crypto::Sha256 h;
  h.update(body);
  h.update(cell.first(kCellIvSize));
  const auto digest = h.finalize();
  if (!crypto::ct_eq(ByteView(digest).first(4), cell.subspan(kChecksumOffset, 4))) {
    return fail(TunnelError::Invalid, "TunnelData checksum mismatch");
  }
  return read_fragments(body);
}

void check_cell_checksums(std::span<const ByteView> cells, std::span<bool> ok) {
  constexpr std::size_t kInput = kMaxCellBody + kCellIvSize;
  const std::size_t count = std::min(cells.size(), ok.size());
  Bytes scratch(count * kInput);
  std::vector<ByteView> inputs;
  std::vector<std::size_t> which;
  inputs.reserve(count);
  which.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    ok[i] = false;
    if (cells[i].size() != kCellSize) continue;
    const auto body_at = body_offset(cells[i]);
    if (!body_at) continue;
    std::uint8_t* at = scratch.data() + i * kInput;
    inputs.push_back(ByteView(at, checksum_input(cells[i], *body_at, at)));
    which.push_back(i);
  }
  std::vector<crypto::Sha256Digest> digests(inputs.size());
  crypto::sha256_many(inputs, digests);
  for (std::size_t j = 0; j < which.size(); ++j) {
    const ByteView cell = cells[which[j]];
    ok[which[j]] = crypto::ct_eq(ByteView(digests[j]).first(4), cell.subspan(kChecksumOffset, 4));
  }
}

Result<std::vector<TunnelFragment>> unpack_checked_tunnel_cell(ByteView cell) {
  if (cell.size() != kCellSize) {
    return fail(TunnelError::InvalidLength, msg("TunnelData cell must be 1024 bytes, got ", cell.size()));
  }
  const auto body_at = body_offset(cell);
  if (!body_at) return fail(TunnelError::Invalid, "TunnelData cell missing 0x00 padding delimiter");
  return read_fragments(cell.subspan(*body_at));
}

}  // namespace tunnel
