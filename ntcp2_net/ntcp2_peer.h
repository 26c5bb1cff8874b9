#pragma once
// The dialable NTCP2 endpoint of a RouterInfo.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/router_info.h"
#include "encoding/error.h"

namespace ntcp2_net {

struct Ntcp2Peer {
  std::array<std::uint8_t, 32> router_hash{};  // the identity hash
  std::array<std::uint8_t, 32> static_key{};   // option "s"
  std::array<std::uint8_t, 16> iv{};           // option "i"
  std::string host;                            // option "host", a numeric address
  std::uint16_t port = 0;                      // option "port", 1..65535
};

// True for a numeric IPv4 ("192.0.2.1") or IPv6 ("2001:db8::1") address; false for a
// host name, which would need a blocking lookup to dial.
bool is_numeric_host(std::string_view host);

// The first usable NTCP2 address, IPv4 before IPv6: style exactly "NTCP2", options "s"
// (32 bytes), "i" (16 bytes), a decimal "port" of 1..65535 and a numeric "host".
// RouterInfos come from the network, so a host name is never taken: resolving it would
// stall the router's single loop. Else NetError::Peer "no reachable NTCP2 address with
// s/i/port found in RouterInfo".
Result<Ntcp2Peer> extract_ntcp2_peer(const common::RouterInfo& info);

}  // namespace ntcp2_net
