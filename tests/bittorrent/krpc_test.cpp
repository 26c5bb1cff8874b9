// KRPC: the query and response examples of the public DHT protocol description in their I2P
// forms (compact nodes of 54 bytes, peers as 32-byte destination hashes), every refusal, and
// compact node lists against a python struct model.
#include "bittorrent/krpc.h"

#include <gtest/gtest.h>

#include <string>

#include "encoding/text.h"
#include "tests/bittorrent/bt_test_support.h"

namespace bittorrent {
namespace {

using bt_test::B;

const Bytes kA = B("abcdefghij0123456789");
const Bytes kM = B("mnopqrstuvwxyz123456");

std::string S(const Bytes& b) { return std::string(b.begin(), b.end()); }

// One 54-byte node entry: id, destination hash, port.
std::string Node(char id, char hash, std::uint16_t port) {
  return std::string(20, id) + std::string(32, hash) +
         std::string{static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
}

// Each example decodes to its message and that message encodes to the example's bytes.
TEST(Krpc, ExamplesOfTheProtocolDescription) {
  const std::string nodes1 = Node('n', 'h', 6881);
  const std::string nodes2 = Node('n', 'h', 6881) + Node('o', 'i', 6882);
  const std::string v1(32, 'P'), v2(32, 'Q');
  using Q = KrpcQuery;
  using K = KrpcMessage;
  const std::pair<std::string, KrpcMessage> cases[] = {
      {"d1:ad2:id20:abcdefghij0123456789e1:q4:ping1:t2:aa1:y1:qe", {K::Query{B("aa"), kA, {Q::Ping{}}}}},
      {"d1:rd2:id20:mnopqrstuvwxyz123456e1:t2:aa1:y1:re", {K::Response{B("aa"), kM, {}, {}, std::nullopt}}},
      {"d1:ad2:id20:abcdefghij01234567896:target20:mnopqrstuvwxyz123456e1:q9:find_node1:t2:aa1:y1:qe",
       {K::Query{B("aa"), kA, {Q::FindNode{kM}}}}},
      {"d1:rd2:id20:0123456789abcdefghij5:nodes54:" + nodes1 + "e1:t2:aa1:y1:re",
       {K::Response{B("aa"), B("0123456789abcdefghij"), B(nodes1), {}, std::nullopt}}},
      {"d1:ad2:id20:abcdefghij01234567899:info_hash20:mnopqrstuvwxyz123456e1:q9:get_peers1:t2:aa1:y1:qe",
       {K::Query{B("aa"), kA, {Q::GetPeers{kM}}}}},
      {"d1:rd2:id20:abcdefghij01234567895:token8:aoeusnth6:valuesl32:" + v1 + "32:" + v2 + "ee1:t2:aa1:y1:re",
       {K::Response{B("aa"), kA, {}, {B(v1), B(v2)}, B("aoeusnth")}}},
      {"d1:rd2:id20:abcdefghij01234567895:nodes108:" + nodes2 + "5:token8:aoeusnthe1:t2:aa1:y1:re",
       {K::Response{B("aa"), kA, B(nodes2), {}, B("aoeusnth")}}},
      {"d1:ad2:id20:abcdefghij01234567899:info_hash20:mnopqrstuvwxyz1234564:porti6881e5:token8:aoeusnthe"
       "1:q13:announce_peer1:t2:aa1:y1:qe",
       {K::Query{B("aa"), kA, {Q::AnnouncePeer{kM, 6881, B("aoeusnth"), false}}}}},
      {"d1:ad2:id20:abcdefghij012345678912:implied_porti1e9:info_hash20:mnopqrstuvwxyz1234564:porti6881e"
       "5:token8:aoeusnthe1:q13:announce_peer1:t2:aa1:y1:qe",
       {K::Query{B("aa"), kA, {Q::AnnouncePeer{kM, 6881, B("aoeusnth"), true}}}}},
      {"d1:eli201e23:A Generic Error Ocurrede1:t2:aa1:y1:ee", {K::Error{B("aa"), 201, "A Generic Error Ocurred"}}},
  };
  for (const auto& [wire, message] : cases) {
    auto decoded = decode_krpc(B(wire));
    ASSERT_TRUE(decoded.has_value()) << wire << ": " << to_string(decoded.error());
    EXPECT_TRUE(*decoded == message) << wire;
    EXPECT_EQ(S(encode_krpc(message)), wire);
  }
  auto nodes = decode_compact_nodes(B(nodes2), 77);
  ASSERT_TRUE(nodes.has_value());
  ASSERT_EQ(nodes->size(), 2u);
  EXPECT_EQ((*nodes)[1].id, Bytes(20, 'o'));
  EXPECT_EQ((*nodes)[1].hash.bytes[0], 'i');
  EXPECT_EQ((*nodes)[1].port, 6882u);
  EXPECT_EQ((*nodes)[1].last_seen_ms, 77u);
}

TEST(Krpc, EveryRefusal) {
  const std::string id = "2:id20:abcdefghij0123456789";
  const std::pair<std::string, std::string> cases[] = {
      {"le", "KRPC packet missing 't' transaction id"},
      {"d1:y1:qe", "KRPC packet missing 't' transaction id"},
      {"d1:ti1e1:y1:qe", "KRPC packet missing 't' transaction id"},
      {"d1:t0:e", "KRPC packet missing 'y' message type"},
      {"d1:t0:1:y1:\xFF"
       "e",
       "KRPC packet missing 'y' message type"},
      {"d1:t0:1:y1:qe", "KRPC query missing 'q'"},
      {"d1:q4:ping1:t0:1:y1:qe", "KRPC query missing 'a'"},
      {"d1:ade1:q4:ping1:t0:1:y1:qe", "KRPC query missing valid 20B 'id'"},
      {"d1:ad2:id3:abce1:q4:vote1:t0:1:y1:qe", "KRPC query missing valid 20B 'id'"},
      {"d1:ad" + id + "e1:q9:find_node1:t0:1:y1:qe", "find_node missing valid 20B 'target'"},
      {"d1:ad" + id + "6:target3:abce1:q9:find_node1:t0:1:y1:qe", "find_node missing valid 20B 'target'"},
      {"d1:ad" + id + "e1:q9:get_peers1:t0:1:y1:qe", "get_peers missing valid 20B 'info_hash'"},
      {"d1:ad" + id + "e1:q13:announce_peer1:t0:1:y1:qe", "announce_peer missing valid 20B 'info_hash'"},
      {"d1:ad" + id + "9:info_hash20:mnopqrstuvwxyz123456e1:q13:announce_peer1:t0:1:y1:qe",
       "announce_peer missing 'token'"},
      {"d1:ad" + id + "9:info_hash20:mnopqrstuvwxyz1234565:tokeni1ee1:q13:announce_peer1:t0:1:y1:qe",
       "announce_peer missing 'token'"},
      {"d1:ad" + id + "e1:q4:vote1:t0:1:y1:qe", "unsupported KRPC query 'vote'"},
      {"d1:t0:1:y1:re", "KRPC response missing 'r'"},
      {"d1:rd2:id19:abcdefghij012345678e1:t0:1:y1:re", "KRPC response missing valid 20B 'id'"},
      {"d1:t0:1:y1:xe", "unknown KRPC message type 'x'"},
  };
  for (const auto& [wire, message] : cases) {
    auto decoded = decode_krpc(B(wire));
    ASSERT_FALSE(decoded.has_value()) << wire;
    EXPECT_TRUE(decoded.error().is(BittorrentError::Krpc)) << to_string(decoded.error());
    EXPECT_EQ(decoded.error().message(), message) << wire;
  }
  auto bencode = decode_krpc(B("d1:t0:"));
  ASSERT_FALSE(bencode.has_value());
  EXPECT_TRUE(bencode.error().is(BittorrentError::Bencode));
}

TEST(Krpc, LenientFields) {
  const std::string head = "d1:ad2:id20:abcdefghij01234567899:info_hash20:mnopqrstuvwxyz123456";
  const std::string tail = "5:token1:te1:q13:announce_peer1:t0:1:y1:qe";
  auto port_of = [&](const std::string& extra) {
    auto m = decode_krpc(B(head + extra + tail));
    const auto& q = std::get<KrpcMessage::Query>(m.value().kind);
    return std::get<KrpcQuery::AnnouncePeer>(q.query.kind);
  };
  EXPECT_EQ(port_of("").port, 6881u);
  EXPECT_EQ(port_of("4:porti0e").port, 6881u);
  EXPECT_EQ(port_of("4:porti-1e").port, 6881u);
  EXPECT_EQ(port_of("4:porti65536e").port, 6881u);
  EXPECT_EQ(port_of("4:port2:80").port, 6881u);
  EXPECT_EQ(port_of("4:porti65535e").port, 65535u);
  EXPECT_EQ(port_of("4:porti1e").port, 1u);
  // "implied_port" sorts before "info_hash", so it goes into the head.
  auto implied = [&](const std::string& v) {
    auto m = decode_krpc(B("d1:ad2:id20:abcdefghij012345678912:implied_port" + v +
                           "9:info_hash20:mnopqrstuvwxyz1234565:token1:te1:q13:announce_peer1:t0:1:y1:qe"));
    return std::get<KrpcQuery::AnnouncePeer>(std::get<KrpcMessage::Query>(m.value().kind).query.kind).implied_port;
  };
  EXPECT_FALSE(implied("i0e"));
  EXPECT_TRUE(implied("i1e"));
  EXPECT_TRUE(implied("i-7e"));
  EXPECT_FALSE(implied("1:x"));

  // A response keeps only byte-string values; "nodes" of another type counts as absent.
  auto r = decode_krpc(B("d1:rd2:id20:abcdefghij01234567895:nodesi1e6:valuesli5e1:xee1:t0:1:y1:re"));
  ASSERT_TRUE(r.has_value());
  const auto& resp = std::get<KrpcMessage::Response>(r->kind);
  EXPECT_TRUE(resp.nodes.empty());
  EXPECT_EQ(resp.values, std::vector<Bytes>{B("x")});
  EXPECT_FALSE(resp.token.has_value());

  auto error_of = [](const std::string& body) {
    auto m = decode_krpc(B("d1:e" + body + "1:t0:1:y1:ee"));
    return std::get<KrpcMessage::Error>(m.value().kind);
  };
  EXPECT_EQ(error_of("li202e12:Server Errore"), (KrpcMessage::Error{{}, 202, "Server Error"}));
  EXPECT_EQ(error_of("i5e"), (KrpcMessage::Error{{}, 201, "malformed krpc error"}));
  EXPECT_EQ(error_of("li5ee"), (KrpcMessage::Error{{}, 201, "malformed krpc error"}));
  EXPECT_EQ(error_of("l1:x3:msge"), (KrpcMessage::Error{{}, 201, "msg"}));
  EXPECT_EQ(error_of("li7ei8ee"), (KrpcMessage::Error{{}, 7, "krpc error"}));
  EXPECT_EQ(error_of("li7e1:\xFF"
                     "e"),
            (KrpcMessage::Error{{}, 7, "krpc error"}));
  auto no_e = decode_krpc(B("d1:t0:1:y1:ee"));
  EXPECT_EQ(std::get<KrpcMessage::Error>(no_e.value().kind).message, "malformed krpc error");

  // An empty response writes only "id" (and "token" when present).
  KrpcMessage bare{KrpcMessage::Response{B("t"), kA, {}, {}, B("k")}};
  EXPECT_EQ(S(encode_krpc(bare)), "d1:rd2:id20:abcdefghij01234567895:token1:ke1:t1:t1:y1:re");
}

TEST(Krpc, CompactNodesAgainstPythonModel) {
  TempDir dir;
  auto out = bt_test::RunPython(dir.path(), R"(
random.seed(9)
nodes = [(bytes(random.randrange(256) for _ in range(20)), bytes(random.randrange(256) for _ in range(32)),
          random.choice([0, 1, 6881, 65535, random.randrange(65536)])) for _ in range(40)]
for i, p in enumerate([0, 1, 6881, 65535]):
    nodes[i] = (nodes[i][0], nodes[i][1], p)
packed = b''.join(struct.pack('>20s32sH', i, h, p) for i, h, p in nodes)
print(packed.hex())
for i, h, p in nodes:
    if p: print(i.hex(), h.hex(), p)
)");
  ASSERT_TRUE(out.has_value());
  auto lines = bt_test::Lines(*out);
  const Bytes packed = bt_test::Unhex(lines.at(0));
  ASSERT_EQ(packed.size(), 40u * 54);
  auto nodes = decode_compact_nodes(packed, 5);
  ASSERT_TRUE(nodes.has_value());
  ASSERT_EQ(nodes->size(), lines.size() - 1);
  for (std::size_t i = 0; i < nodes->size(); ++i) {
    const DhtNode& n = (*nodes)[i];
    EXPECT_EQ(encoding::hex_encode(n.id) + " " + encoding::hex_encode(n.hash.bytes) + " " + std::to_string(n.port),
              lines[i + 1]);
  }
  // Nodes with port 0 were dropped; the rest encode to their entries of the model.
  Bytes without_zero;
  for (std::size_t at = 0; at < packed.size(); at += 54) {
    if (packed[at + 52] != 0 || packed[at + 53] != 0)
      without_zero.insert(without_zero.end(), packed.begin() + static_cast<std::ptrdiff_t>(at),
                          packed.begin() + static_cast<std::ptrdiff_t>(at + 54));
  }
  EXPECT_EQ(encode_compact_nodes(*nodes), without_zero);

  // A ragged tail fails whole.
  for (std::size_t n : {1u, 53u, 55u, 107u, 40u * 54 + 1}) {
    auto ragged = decode_compact_nodes(ByteView(packed.data(), std::min(n, packed.size())), 0);
    if (n > packed.size()) {
      Bytes longer = packed;
      longer.push_back(0);
      ragged = decode_compact_nodes(longer, 0);
    }
    ASSERT_FALSE(ragged.has_value()) << n;
    EXPECT_EQ(ragged.error().message(),
              "compact I2P DHT nodes length must be a multiple of 54, got " + std::to_string(n));
  }
  EXPECT_TRUE(decode_compact_nodes({}, 0)->empty());

  // Ids of any length but 20 are skipped; ports are written modulo 65536.
  DhtNode odd{Bytes(19, 1), {}, 6881, 0};
  DhtNode wide{Bytes(20, 2), {}, 65536 + 7, 0};
  const Bytes enc = encode_compact_nodes({odd, wide});
  ASSERT_EQ(enc.size(), 54u);
  EXPECT_EQ(enc[52], 0);
  EXPECT_EQ(enc[53], 7);
}

}  // namespace
}  // namespace bittorrent
