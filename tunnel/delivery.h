#pragma once
// Where a tunnel's endpoint delivers a message: to itself, to a router, or into another
// router's tunnel.
#include <cstddef>
#include <cstdint>
#include <variant>

#include "common/hash.h"

namespace tunnel {

struct TunnelDelivery {
  struct Local {
    friend bool operator==(const Local&, const Local&) = default;
  };
  // Into tunnel_id at router (that tunnel's gateway).
  struct Tunnel {
    std::uint32_t tunnel_id = 0;
    common::Hash router;
    friend bool operator==(const Tunnel&, const Tunnel&) = default;
  };
  struct Router {
    common::Hash router;
    friend bool operator==(const Router&, const Router&) = default;
  };

  std::variant<Local, Tunnel, Router> value;

  // The code carried in bits 6-5 of a first fragment's flag: 0 Local, 1 Tunnel, 2 Router.
  std::uint8_t code() const { return static_cast<std::uint8_t>(value.index()); }
  // Bytes of delivery instructions between the flag and the size: 0, 36 or 32.
  std::size_t instruction_size() const;

  friend bool operator==(const TunnelDelivery&, const TunnelDelivery&) = default;
};

inline std::size_t TunnelDelivery::instruction_size() const {
  switch (value.index()) {
    case 1: return 4 + 32;
    case 2: return 32;
    default: return 0;
  }
}

}  // namespace tunnel
