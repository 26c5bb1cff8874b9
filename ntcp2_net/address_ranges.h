#pragma once
// The address ranges a router on the public network never dials: the special-purpose
// ranges of IPv4 and IPv6 (private networks, loopback, link-local, shared, documentation,
// benchmarking, multicast, reserved), and IPv6 addresses that embed or translate to IPv4
// ones. A RouterInfo from the network could otherwise make the router connect to any host
// of the user's own network at a port it names.
#include <string_view>

namespace ntcp2_net {

// True when host is a numeric IPv4 or IPv6 address inside a reserved range; false for a
// globally reachable address and for anything that is not a numeric address.
bool is_reserved_address(std::string_view host);

// True for a numeric address outside every reserved range.
bool is_public_address(std::string_view host);

}  // namespace ntcp2_net
