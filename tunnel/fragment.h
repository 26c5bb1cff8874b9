#pragma once
// One fragment of an I2NP message inside a tunnel cell: the first one, which carries the
// delivery, or a numbered follow-on.
#include <cstdint>
#include <variant>

#include "encoding/bytes.h"
#include "tunnel/delivery.h"

namespace tunnel {

// The two kinds are declared outside TunnelFragment and named inside it: a class nested
// in the one whose variant holds it would not count as default-constructible there.
struct FirstFragment {
  TunnelDelivery delivery;
  bool fragmented = false;  // follow-ons come; msg_id is on the wire only then
  std::uint32_t msg_id = 0;
  Bytes data;
  friend bool operator==(const FirstFragment&, const FirstFragment&) = default;
};

struct FollowOnFragment {
  int number = 1;  // 1..63: six bits on the wire
  bool is_last = false;
  std::uint32_t msg_id = 0;
  Bytes data;
  friend bool operator==(const FollowOnFragment&, const FollowOnFragment&) = default;
};

struct TunnelFragment {
  using First = FirstFragment;
  using FollowOn = FollowOnFragment;

  std::variant<First, FollowOn> value;

  friend bool operator==(const TunnelFragment&, const TunnelFragment&) = default;
};

}  // namespace tunnel
