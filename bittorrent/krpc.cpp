#include "bittorrent/krpc.h"

#include "bittorrent/bencode.h"
#include "encoding/text.h"

namespace bittorrent {

namespace {

std::unexpected<::Error> bad(std::string message) { return fail(BittorrentError::Krpc, std::move(message)); }

// The byte string under key when it is exactly 20 bytes long.
const BVal::Bytes* get_id20(const BVal& dict, std::string_view key) {
  const BVal::Bytes* b = bdict_get_bytes(dict, key);
  return b != nullptr && b->size() == 20 ? b : nullptr;
}

BDictEntry entry(std::string_view key, BVal value) { return BDictEntry{std::string(key), std::move(value)}; }

// Fills the query of the given name in place (built in place rather than returned, which
// also keeps g++ 12's uninitialised-variant warnings away).
Result<void> decode_query(const BVal& args, const std::string& name, KrpcQuery& out) {
  if (name == "ping") {
    out.kind.emplace<KrpcQuery::Ping>();
    return {};
  }
  if (name == "find_node") {
    const BVal::Bytes* target = get_id20(args, "target");
    if (target == nullptr) return bad("find_node missing valid 20B 'target'");
    out.kind.emplace<KrpcQuery::FindNode>().target = to_byte_vector(*target);
    return {};
  }
  if (name == "get_peers") {
    const BVal::Bytes* hash = get_id20(args, "info_hash");
    if (hash == nullptr) return bad("get_peers missing valid 20B 'info_hash'");
    out.kind.emplace<KrpcQuery::GetPeers>().info_hash = to_byte_vector(*hash);
    return {};
  }
  if (name == "announce_peer") {
    const BVal::Bytes* hash = get_id20(args, "info_hash");
    if (hash == nullptr) return bad("announce_peer missing valid 20B 'info_hash'");
    auto port = bdict_get_int(args, "port");
    auto implied = bdict_get_int(args, "implied_port");
    const BVal::Bytes* token = bdict_get_bytes(args, "token");
    if (token == nullptr) return bad("announce_peer missing 'token'");
    auto& a = out.kind.emplace<KrpcQuery::AnnouncePeer>();
    a.info_hash = to_byte_vector(*hash);
    a.port = port && *port >= 1 && *port <= 65535 ? static_cast<std::uint32_t>(*port) : default_dht_port;
    a.implied_port = implied && *implied != 0;
    a.token = to_byte_vector(*token);
    return {};
  }
  return bad(msg("unsupported KRPC query '", name, "'"));
}

}  // namespace

Result<KrpcMessage> decode_krpc(ByteView payload) {
  auto root = bencode_decode(payload);
  if (!root) return std::unexpected(std::move(root.error()));
  const BVal::Bytes* tid = bdict_get_bytes(*root, "t");
  if (tid == nullptr) return bad("KRPC packet missing 't' transaction id");
  auto y = bdict_get_string(*root, "y");
  if (!y) return bad("KRPC packet missing 'y' message type");

  if (*y == "q") {
    auto name = bdict_get_string(*root, "q");
    if (!name) return bad("KRPC query missing 'q'");
    const BVal* args = bdict_get(*root, "a");
    if (args == nullptr) return bad("KRPC query missing 'a'");
    const BVal::Bytes* id = get_id20(*args, "id");
    if (id == nullptr) return bad("KRPC query missing valid 20B 'id'");
    Result<KrpcMessage> out(std::in_place);
    auto& query = out->kind.emplace<KrpcMessage::Query>();
    if (auto r = decode_query(*args, *name, query.query); !r) return std::unexpected(std::move(r.error()));
    query.transaction_id = to_byte_vector(*tid);
    query.sender_id = to_byte_vector(*id);
    return out;
  }
  if (*y == "r") {
    const BVal* r = bdict_get(*root, "r");
    if (r == nullptr) return bad("KRPC response missing 'r'");
    const BVal::Bytes* id = get_id20(*r, "id");
    if (id == nullptr) return bad("KRPC response missing valid 20B 'id'");
    Result<KrpcMessage> out(std::in_place);
    auto& response = out->kind.emplace<KrpcMessage::Response>();
    response.transaction_id = to_byte_vector(*tid);
    response.sender_id = to_byte_vector(*id);
    if (const BVal::Bytes* nodes = bdict_get_bytes(*r, "nodes")) response.nodes = to_byte_vector(*nodes);
    if (const BVal* values = bdict_get(*r, "values"); values != nullptr && values->as_list() != nullptr) {
      for (const BVal& v : *values->as_list()) {
        if (const auto* b = v.as_bytes()) response.values.push_back(to_byte_vector(*b));
      }
    }
    if (const BVal::Bytes* token = bdict_get_bytes(*r, "token")) response.token = to_byte_vector(*token);
    return out;
  }
  if (*y == "e") {
    Result<KrpcMessage> out(std::in_place);
    auto& error = out->kind.emplace<KrpcMessage::Error>();
    error.transaction_id = to_byte_vector(*tid);
    error.message = "malformed krpc error";
    const BVal* e = bdict_get(*root, "e");
    if (e != nullptr && e->as_list() != nullptr && e->as_list()->size() >= 2) {
      const auto& body = *e->as_list();
      error.code = body[0].as_int() != nullptr ? *body[0].as_int() : 201;
      error.message = "krpc error";
      if (const auto* text = body[1].as_bytes()) {
        if (auto s = encoding::utf8_bytes_to_string(bytes_view(*text))) error.message = std::move(*s);
      }
    }
    return out;
  }
  return bad(msg("unknown KRPC message type '", *y, "'"));
}

Bytes encode_krpc(const KrpcMessage& message) {
  BVal::Dict top;
  if (const auto* q = std::get_if<KrpcMessage::Query>(&message.kind)) {
    BVal::Dict args;
    args.push_back(entry("id", BVal::bytes(q->sender_id)));
    std::string_view name;
    if (std::holds_alternative<KrpcQuery::Ping>(q->query.kind)) {
      name = "ping";
    } else if (const auto* f = std::get_if<KrpcQuery::FindNode>(&q->query.kind)) {
      name = "find_node";
      args.push_back(entry("target", BVal::bytes(f->target)));
    } else if (const auto* g = std::get_if<KrpcQuery::GetPeers>(&q->query.kind)) {
      name = "get_peers";
      args.push_back(entry("info_hash", BVal::bytes(g->info_hash)));
    } else if (const auto* a = std::get_if<KrpcQuery::AnnouncePeer>(&q->query.kind)) {
      name = "announce_peer";
      args.push_back(entry("info_hash", BVal::bytes(a->info_hash)));
      args.push_back(entry("port", BVal::integer(a->port)));
      args.push_back(entry("token", BVal::bytes(a->token)));
      if (a->implied_port) args.push_back(entry("implied_port", BVal::integer(1)));
    }
    top.push_back(entry("a", BVal::dict(std::move(args))));
    top.push_back(entry("q", BVal::string(name)));
    top.push_back(entry("t", BVal::bytes(q->transaction_id)));
    top.push_back(entry("y", BVal::string("q")));
  } else if (const auto* r = std::get_if<KrpcMessage::Response>(&message.kind)) {
    BVal::Dict ret;
    ret.push_back(entry("id", BVal::bytes(r->sender_id)));
    if (!r->nodes.empty()) ret.push_back(entry("nodes", BVal::bytes(r->nodes)));
    if (!r->values.empty()) {
      BVal::List values;
      for (const Bytes& v : r->values) values.push_back(BVal::bytes(v));
      ret.push_back(entry("values", BVal::list(std::move(values))));
    }
    if (r->token) ret.push_back(entry("token", BVal::bytes(*r->token)));
    top.push_back(entry("r", BVal::dict(std::move(ret))));
    top.push_back(entry("t", BVal::bytes(r->transaction_id)));
    top.push_back(entry("y", BVal::string("r")));
  } else if (const auto* e = std::get_if<KrpcMessage::Error>(&message.kind)) {
    top.push_back(entry("e", BVal::list({BVal::integer(e->code), BVal::string(e->message)})));
    top.push_back(entry("t", BVal::bytes(e->transaction_id)));
    top.push_back(entry("y", BVal::string("e")));
  }
  return bencode_encode(BVal::dict(std::move(top)));
}

Bytes encode_compact_nodes(const std::vector<DhtNode>& nodes) {
  encoding::Writer out(nodes.size() * compact_node_size);
  for (const DhtNode& node : nodes) {
    if (node.id.size() != 20) continue;
    out.write_bytes(node.id);
    out.write_bytes(node.hash.view());
    out.write_u16_be(node.port & 0xFFFF);
  }
  return std::move(out.buf);
}

Result<std::vector<DhtNode>> decode_compact_nodes(ByteView nodes, std::uint64_t now_ms) {
  if (nodes.size() % compact_node_size != 0) {
    return bad(msg("compact I2P DHT nodes length must be a multiple of 54, got ", nodes.size()));
  }
  std::vector<DhtNode> out;
  out.reserve(nodes.size() / compact_node_size);
  for (std::size_t at = 0; at < nodes.size(); at += compact_node_size) {
    const ByteView e = nodes.subspan(at, compact_node_size);
    const std::uint32_t port = static_cast<std::uint32_t>(e[52]) << 8 | e[53];
    if (port == 0) continue;
    DhtNode node;
    node.id.assign(e.begin(), e.begin() + 20);
    std::copy(e.begin() + 20, e.begin() + 52, node.hash.bytes.begin());
    node.port = port;
    node.last_seen_ms = now_ms;
    out.push_back(std::move(node));
  }
  return out;
}

}  // namespace bittorrent
