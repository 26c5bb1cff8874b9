// Peer wire frames against a python struct model of the protocol's message layouts, the
// handshake and the i2p_pex payload (encoded by libtorrent), and the bounds a peer meets.
#include "bittorrent/peer_wire.h"

#include <gtest/gtest.h>

#include <string>

#include "encoding/text.h"
#include "tests/bittorrent/bt_test_support.h"

namespace bittorrent {
namespace {

using bt_test::B;
using bt_test::Unhex;

// The message of the python model's line "name a b c payloadhex".
PeerMessage FromModel(const std::string& name, std::uint32_t a, std::uint32_t b, std::uint32_t c, const Bytes& p) {
  using M = PeerMessage;
  if (name == "keepalive") return {M::KeepAlive{}};
  if (name == "choke") return {M::Choke{}};
  if (name == "unchoke") return {M::Unchoke{}};
  if (name == "interested") return {M::Interested{}};
  if (name == "notinterested") return {M::NotInterested{}};
  if (name == "have") return {M::Have{a}};
  if (name == "bitfield") return {M::Bitfield{p}};
  if (name == "request") return {M::Request{a, b, c}};
  if (name == "piece") return {M::Piece{a, b, p}};
  if (name == "cancel") return {M::Cancel{a, b, c}};
  if (name == "suggest") return {M::SuggestPiece{a}};
  if (name == "haveall") return {M::HaveAll{}};
  if (name == "havenone") return {M::HaveNone{}};
  if (name == "reject") return {M::RejectRequest{a, b, c}};
  if (name == "allowedfast") return {M::AllowedFast{a}};
  return {M::Extended{static_cast<std::uint8_t>(a), p}};
}

constexpr const char* kFrames = R"(
random.seed(11)
def rnd(n): return bytes(random.randrange(256) for _ in range(n))
ids = {'choke': 0, 'unchoke': 1, 'interested': 2, 'notinterested': 3, 'have': 4, 'bitfield': 5, 'request': 6,
       'piece': 7, 'cancel': 8, 'suggest': 13, 'haveall': 14, 'havenone': 15, 'reject': 16, 'allowedfast': 17,
       'extended': 20}
names = ['keepalive'] + list(ids)
for i in range(300):
    name = names[i % len(names)]
    a, b, c = (random.randrange(2**32) for _ in range(3))
    p = rnd(random.choice([0, 1, 7, 300]))
    if name == 'keepalive': body = b''
    elif name in ('have', 'suggest', 'allowedfast'): body = struct.pack('>BI', ids[name], a)
    elif name in ('request', 'cancel', 'reject'): body = struct.pack('>BIII', ids[name], a, b, c)
    elif name == 'bitfield': body = bytes([5]) + p
    elif name == 'piece': body = struct.pack('>BII', 7, a, b) + p
    elif name == 'extended':
        a = random.randrange(256); body = bytes([20, a]) + p
    else: body = bytes([ids[name]])
    print(name, a, b, c, p.hex() or '-', (struct.pack('>I', len(body)) + body).hex())
)";

TEST(PeerWire, FramesOfThePythonModel) {
  TempDir dir;
  auto out = bt_test::RunPython(dir.path(), kFrames);
  ASSERT_TRUE(out.has_value());
  auto lines = bt_test::Lines(*out);
  ASSERT_EQ(lines.size(), 300u);
  Bytes stream;
  std::vector<Bytes> frames;
  for (const std::string& line : lines) {
    std::istringstream in(line);
    std::string name, payload, frame_hex;
    std::uint32_t a, b, c;
    in >> name >> a >> b >> c >> payload >> frame_hex;
    const Bytes frame = Unhex(frame_hex);
    const PeerMessage m = FromModel(name, a, b, c, payload == "-" ? Bytes{} : Unhex(payload));
    EXPECT_EQ(encode_peer_message(m), frame) << line;
    Bytes buffer = frame;
    auto decoded = decode_peer_frame(buffer);
    ASSERT_TRUE(decoded.has_value() && decoded->has_value()) << line;
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ((*decoded)->kind.index(), m.kind.index()) << line;
    EXPECT_EQ(encode_peer_message(**decoded), frame) << line;
    stream.insert(stream.end(), frame.begin(), frame.end());
    frames.push_back(frame);
  }
  // The whole stream arriving in uneven pieces: at most 64 frames per call, none lost.
  Bytes buffer;
  std::vector<Bytes> seen;
  std::size_t fed = 0, step = 1;
  while (seen.size() < frames.size()) {
    const std::size_t n = std::min(stream.size() - fed, step);
    buffer.insert(buffer.end(), stream.begin() + static_cast<std::ptrdiff_t>(fed),
                  stream.begin() + static_cast<std::ptrdiff_t>(fed + n));
    fed += n;
    step = step * 3 % 2000 + 1;
    PeerFrames got = decode_peer_frames(buffer);
    ASSERT_FALSE(got.error.has_value());
    ASSERT_LE(got.messages.size(), max_frames_per_call);
    for (const PeerMessage& m : got.messages) seen.push_back(encode_peer_message(m));
    ASSERT_TRUE(n > 0 || !got.messages.empty());
  }
  EXPECT_EQ(seen, frames);
  EXPECT_TRUE(buffer.empty());
}

TEST(PeerWire, Handshake) {
  TempDir dir;
  auto out = bt_test::RunPython(dir.path(), R"(
h, p = bytes(range(20)), bytes(range(100, 120))
print((bytes([19]) + b'BitTorrent protocol' + bytes([0, 0, 0, 0, 0, 0x10, 0, 0]) + h + p).hex())
)");
  ASSERT_TRUE(out.has_value());
  Bytes h(20), p(20);
  for (std::uint8_t i = 0; i < 20; ++i) h[i] = i, p[i] = static_cast<std::uint8_t>(100 + i);
  auto hs = encode_handshake(h, p);
  ASSERT_TRUE(hs.has_value());
  EXPECT_EQ(encoding::hex_encode(*hs), bt_test::Lines(*out).at(0));
  Bytes longer = *hs;
  longer.push_back(0);
  auto d = decode_handshake(longer);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(Bytes(d->info_hash.begin(), d->info_hash.end()), h);
  EXPECT_EQ(Bytes(d->peer_id.begin(), d->peer_id.end()), p);
  EXPECT_EQ(d->reserved[5], 0x10);

  EXPECT_EQ(bt_test::ErrorOf(decode_handshake(ByteView(*hs).first(67))), "handshake shorter than 68 bytes");
  Bytes wrong = *hs;
  wrong[0] = 20;
  EXPECT_EQ(bt_test::ErrorOf(decode_handshake(wrong)), "invalid BitTorrent protocol header");
  wrong = *hs;
  wrong[19] = 'L';
  EXPECT_EQ(bt_test::ErrorOf(decode_handshake(wrong)), "invalid BitTorrent protocol header");
  for (auto [a, b] : {std::pair{19, 20}, std::pair{20, 21}, std::pair{0, 20}}) {
    auto e = encode_handshake(Bytes(static_cast<std::size_t>(a)), Bytes(static_cast<std::size_t>(b)));
    ASSERT_FALSE(e.has_value());
    EXPECT_TRUE(e.error().is(BittorrentError::Wire));
    EXPECT_EQ(e.error().message(), "BitTorrent handshake requires 20B info_hash and peer_id");
  }
}

TEST(PeerWire, IncompleteOversizedUnknownAndShortFrames) {
  // A Have arriving in two parts.
  Bytes buffer = {0, 0, 0, 5, 4, 0, 0};
  auto none = decode_peer_frame(buffer);
  ASSERT_TRUE(none.has_value());
  EXPECT_FALSE(none->has_value());
  EXPECT_EQ(buffer.size(), 7u);
  buffer.insert(buffer.end(), {1, 2});
  auto have = decode_peer_frame(buffer);
  ASSERT_TRUE(have.has_value() && have->has_value());
  EXPECT_EQ(std::get<PeerMessage::Have>((*have)->kind).index, 0x0102u);
  EXPECT_TRUE(buffer.empty());

  // The largest frame is waited for; one byte more fails before it arrives.
  buffer = {0, 0x20, 0, 0, 7};
  auto wait = decode_peer_frame(buffer);
  ASSERT_TRUE(wait.has_value());
  EXPECT_FALSE(wait->has_value());
  buffer = {0, 0x20, 0, 1, 7};
  auto big = decode_peer_frame(buffer);
  ASSERT_FALSE(big.has_value());
  EXPECT_TRUE(big.error().is(BittorrentError::Wire));
  EXPECT_EQ(big.error().message(), "peer wire frame too large: 2097153");
  EXPECT_EQ(buffer.size(), 5u);
  buffer.resize(4 + max_peer_frame);
  buffer[1] = 0x20;
  buffer[3] = 0;
  buffer[4] = 5;
  buffer.push_back(0xAA);
  auto full = decode_peer_frame(buffer);
  ASSERT_TRUE(full.has_value() && full->has_value());
  EXPECT_EQ(std::get<PeerMessage::Bitfield>((*full)->kind).bits.size(), max_peer_frame - 1);
  EXPECT_EQ(buffer, Bytes{0xAA});

  // Unknown ids are keep-alives; a frame too short for its fields fails after its removal.
  for (int id : {9, 12, 18, 19, 21, 255}) {
    buffer = {0, 0, 0, 1, static_cast<std::uint8_t>(id)};
    auto unknown = decode_peer_frame(buffer);
    ASSERT_TRUE(unknown.has_value() && unknown->has_value());
    EXPECT_TRUE(std::holds_alternative<PeerMessage::KeepAlive>((*unknown)->kind));
    EXPECT_TRUE(buffer.empty());
  }
  for (Bytes frame :
       {Bytes{0, 0, 0, 1, 4}, Bytes{0, 0, 0, 9, 6, 0, 0, 0, 1, 0, 0, 0, 2}, Bytes{0, 0, 0, 8, 7, 1, 1, 1, 1, 2, 2, 2},
        Bytes{0, 0, 0, 1, 20}, Bytes{0, 0, 0, 4, 17, 0, 0, 0}}) {
    frame.push_back(0xEE);
    auto shortf = decode_peer_frame(frame);
    ASSERT_FALSE(shortf.has_value());
    EXPECT_TRUE(shortf.error().is(BittorrentError::Encoding)) << to_string(shortf.error());
    EXPECT_EQ(frame, Bytes{0xEE});
  }
  // Bytes behind fixed fields are ignored.
  buffer = {0, 0, 0, 7, 4, 0, 0, 0, 9, 0xFF, 0xFF};
  auto extra = decode_peer_frame(buffer);
  ASSERT_TRUE(extra.has_value() && extra->has_value());
  EXPECT_EQ(std::get<PeerMessage::Have>((*extra)->kind).index, 9u);
}

TEST(PeerWire, BatchStopsAtSixtyFourFramesAndAtTheFirstError) {
  Bytes buffer(100 * 4, 0);
  PeerFrames first = decode_peer_frames(buffer);
  EXPECT_EQ(first.messages.size(), 64u);
  EXPECT_FALSE(first.error.has_value());
  EXPECT_EQ(buffer.size(), 36u * 4);
  PeerFrames second = decode_peer_frames(buffer);
  EXPECT_EQ(second.messages.size(), 36u);
  EXPECT_TRUE(buffer.empty());

  // Two good frames, then one too large: the two are given with the error, and the buffer
  // keeps the bad frame's bytes.
  buffer = {0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0x20, 0, 1, 9};
  PeerFrames bad = decode_peer_frames(buffer);
  EXPECT_EQ(bad.messages.size(), 2u);
  ASSERT_TRUE(bad.error.has_value());
  EXPECT_EQ(bad.error->message(), "peer wire frame too large: 2097153");
  EXPECT_EQ(buffer, (Bytes{0, 0x20, 0, 1, 9}));
  // A short frame is removed with the error.
  buffer = {0, 0, 0, 1, 2, 0, 0, 0, 1, 4, 0, 0, 0, 0};
  PeerFrames shortf = decode_peer_frames(buffer);
  EXPECT_EQ(shortf.messages.size(), 1u);
  ASSERT_TRUE(shortf.error.has_value());
  EXPECT_TRUE(shortf.error->is(BittorrentError::Encoding));
  EXPECT_EQ(buffer, (Bytes{0, 0, 0, 0}));
}

TEST(PeerWire, ConsumeFront) {
  Bytes b = {1, 2, 3, 4};
  consume_front_bytes(b, 0);
  EXPECT_EQ(b, (Bytes{1, 2, 3, 4}));
  consume_front_bytes(b, 3);
  EXPECT_EQ(b, Bytes{4});
  consume_front_bytes(b, 9);
  EXPECT_TRUE(b.empty());
}

TEST(PeerWire, I2pPexPayloadIsBoundedBothWays) {
  std::vector<common::Hash> peers(60);
  for (std::size_t i = 0; i < peers.size(); ++i) peers[i].bytes.fill(static_cast<std::uint8_t>(i + 1));
  TempDir dir;
  auto out = bt_test::RunPython(dir.path(), R"(
added = lambda n: b''.join(bytes([i + 1]) * 32 for i in range(n))
print(lt.bencode({b'added': b''}).hex())
print(lt.bencode({b'added': added(2)}).hex())
print(lt.bencode({b'added': added(50)}).hex())
print(lt.bencode({b'added': added(60)}).hex())
print(lt.bencode({b'added': added(2) + b'x' * 6, b'dropped': b''}).hex())
)");
  ASSERT_TRUE(out.has_value());
  auto lines = bt_test::Lines(*out);
  ASSERT_EQ(lines.size(), 5u);
  const std::span<const common::Hash> all(peers);
  EXPECT_EQ(encoding::hex_encode(encode_i2p_pex(all.first(0))), lines[0]);
  EXPECT_EQ(encoding::hex_encode(encode_i2p_pex(all.first(2))), lines[1]);
  EXPECT_EQ(encoding::hex_encode(encode_i2p_pex(all.first(50))), lines[2]);
  // Sixty offered, fifty sent.
  EXPECT_EQ(encoding::hex_encode(encode_i2p_pex(all)), lines[2]);
  // Sixty received, fifty taken; a 70-byte string gives two.
  auto sixty = decode_i2p_pex(Unhex(lines[3]));
  ASSERT_TRUE(sixty.has_value());
  EXPECT_EQ(*sixty, std::vector<common::Hash>(peers.begin(), peers.begin() + 50));
  auto two = decode_i2p_pex(Unhex(lines[4]));
  ASSERT_TRUE(two.has_value());
  EXPECT_EQ(*two, std::vector<common::Hash>(peers.begin(), peers.begin() + 2));
  EXPECT_EQ(decode_i2p_pex(B("d5:addedi1ee")), std::nullopt);
  EXPECT_EQ(decode_i2p_pex(B("de")), std::nullopt);
  EXPECT_EQ(decode_i2p_pex(B("d5:added")), std::nullopt);
}

}  // namespace
}  // namespace bittorrent
