#pragma once
// The DHT's small rules that the engine's steps share with tests.
#include <cstdint>
#include <optional>

#include "bittorrent/dht_table.h"
#include "bittorrent/krpc.h"
#include "common/hash.h"
#include "encoding/bytes.h"
#include "router/session_records.h"

namespace router {

// A query ready to go: its I2CP envelope (a signed repliable datagram from the query port)
// and the pending record to keep once it has been sent.
struct DhtOutgoingQuery {
  Bytes envelope;
  bittorrent::DhtPendingTx pending;
};

// The query to the node at the port (0: 6881) under a fresh random transaction id;
// none when the session cannot sign or no random bytes could be read.
std::optional<DhtOutgoingQuery> bt_dht_prepare_query(const bittorrent::I2pDht& dht, const SamSession& session,
                                                     const common::Hash& dest, std::uint32_t port,
                                                     const bittorrent::KrpcQuery& query,
                                                     const std::optional<Bytes>& info_hash, std::uint64_t now_wall_ms);

// The port a querier is answered on: its datagram's source port + 1; 65535 stays 65535,
// and a source port of 0 counts as 6881 (answered on 6882).
std::uint32_t bt_dht_reply_port(std::uint32_t source_port);

}  // namespace router
