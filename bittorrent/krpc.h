#pragma once
// KRPC, the bencoded query/response protocol of the DHT, as carried in I2P datagrams, and
// the I2P compact node list: 20-byte node id, 32-byte destination hash, 16-bit port.
//
// Decoding is strict about what the client needs (20-byte ids, targets and info hashes, a
// token for announce_peer) and lenient about the rest (absent "nodes" or "values", a
// malformed error body). Keys not named here are ignored.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "bittorrent/dht_node.h"
#include "encoding/bytes.h"
#include "encoding/error.h"

namespace bittorrent {

inline constexpr std::size_t compact_node_size = 54;
inline constexpr std::uint32_t default_dht_port = 6881;

struct KrpcQuery {
  struct Ping {
    friend bool operator==(const Ping&, const Ping&) = default;
  };
  struct FindNode {
    Bytes target;  // 20 bytes
    friend bool operator==(const FindNode&, const FindNode&) = default;
  };
  struct GetPeers {
    Bytes info_hash;  // 20 bytes
    friend bool operator==(const GetPeers&, const GetPeers&) = default;
  };
  struct AnnouncePeer {
    Bytes info_hash;                        // 20 bytes
    std::uint32_t port = default_dht_port;  // 1 to 65535
    Bytes token;
    bool implied_port = false;
    friend bool operator==(const AnnouncePeer&, const AnnouncePeer&) = default;
  };
  std::variant<Ping, FindNode, GetPeers, AnnouncePeer> kind;
  friend bool operator==(const KrpcQuery&, const KrpcQuery&) = default;
};

struct KrpcMessage {
  struct Query {
    Bytes transaction_id;
    Bytes sender_id;  // 20 bytes
    KrpcQuery query;
    friend bool operator==(const Query&, const Query&) = default;
  };
  struct Response {
    Bytes transaction_id;
    Bytes sender_id;  // 20 bytes
    Bytes nodes;      // compact nodes; empty when absent
    std::vector<Bytes> values;
    std::optional<Bytes> token;
    friend bool operator==(const Response&, const Response&) = default;
  };
  struct Error {
    Bytes transaction_id;
    std::int64_t code = 201;
    std::string message;
    friend bool operator==(const Error&, const Error&) = default;
  };
  std::variant<Query, Response, Error> kind;
  friend bool operator==(const KrpcMessage&, const KrpcMessage&) = default;
};

Result<KrpcMessage> decode_krpc(ByteView payload);
Bytes encode_krpc(const KrpcMessage& message);

// The 54-byte entries of the nodes whose id is 20 bytes long (others are skipped), each with
// the low 16 bits of its port.
Bytes encode_compact_nodes(const std::vector<DhtNode>& nodes);
// Whole 54-byte entries only; an entry with port 0 is dropped. last_seen_ms is set to now.
Result<std::vector<DhtNode>> decode_compact_nodes(ByteView nodes, std::uint64_t now_ms);

}  // namespace bittorrent
