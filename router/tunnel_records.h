#pragma once
// Tunnel records held by the router record. Only the fields the loop uses are here;
// tunnel building and participation fill them in.
#include <cstdint>
#include <vector>

#include "common/hash.h"

namespace tunnel {

struct TunnelHop {
  common::Hash router;
};

// An own tunnel: hops[0] is the first hop (outbound) and hops.back() the last hop, which
// delivers to this router (inbound).
struct Tunnel {
  std::vector<TunnelHop> hops;
  std::uint32_t expires_s = 0;
};

struct TransitHop {};

struct TunnelManager {
  std::vector<Tunnel> inbound;
  std::vector<Tunnel> outbound;
  std::vector<TransitHop> transit;
};

struct PendingReassembly {};

struct FragmentReassembler {
  std::vector<PendingReassembly> pending;
};

}  // namespace tunnel

namespace router {

struct PendingTunnelBuild {};

}  // namespace router
