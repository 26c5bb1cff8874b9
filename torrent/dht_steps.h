#pragma once
// The DHT's small rules that the engine's steps share with tests.
#include <cstdint>

namespace router {

// The port a querier is answered on: its datagram's source port + 1; 65535 stays 65535,
// and a source port of 0 counts as 6881 (answered on 6882).
std::uint32_t bt_dht_reply_port(std::uint32_t source_port);

}  // namespace router
