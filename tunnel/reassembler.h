#pragma once
// Joins the fragments of messages that arrive over several tunnel cells.
//
// Entries are keyed by the tunnel the cells came out of as well as the message id: the
// id is chosen by whoever made the cells, so equal ids on two tunnels are two messages,
// and a router that can reach one of our tunnel endpoints must not be able to feed
// fragments into a message travelling through another.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "encoding/bytes.h"
#include "tunnel/delivery.h"
#include "tunnel/fragment.h"

namespace tunnel {

// The tunnel a cleartext cell came out of: one of this router's inbound tunnels (its
// tunnel_id), or another router's outbound tunnel whose endpoint this router is (the
// transit hop's receive_tunnel_id). The two kinds have separate id spaces.
struct CellSource {
  enum class Kind : std::uint8_t { OwnInbound, TransitEndpoint };
  Kind kind = Kind::OwnInbound;
  std::uint32_t tunnel_id = 0;

  friend bool operator==(const CellSource&, const CellSource&) = default;
};

// One message being joined. The first fragment's data is stored as number 0; each
// number occurs at most once.
struct PendingReassembly {
  CellSource source;
  std::uint32_t msg_id = 0;
  std::optional<TunnelDelivery> delivery;        // absent until the first fragment arrives
  std::vector<std::pair<int, Bytes>> fragments;  // (number, data) in arrival order
  int last_number = -1;                          // -1 until a follow-on marked last arrives

  bool has(int number) const;
};

struct ReassembledMessage {
  TunnelDelivery delivery;
  Bytes message;

  friend bool operator==(const ReassembledMessage&, const ReassembledMessage&) = default;
};

struct FragmentReassembler {
  static constexpr std::size_t kMaxPending = 64;

  // Oldest first; never more than kMaxPending entries.
  std::vector<PendingReassembly> pending;

  // The entry for (source, msg_id), found or appended (the oldest entry is dropped first
  // when the list is full). The reference stays valid until the next insertion or removal.
  PendingReassembly& find_or_insert(const CellSource& source, std::uint32_t msg_id);

  // The joined message once the entry has its delivery, a last number above 0 and
  // exactly the fragments 0..last; the entry is then removed. Otherwise nothing, and the
  // entry stays as it is.
  std::optional<ReassembledMessage> try_finish(const CellSource& source, std::uint32_t msg_id);

  // Takes one fragment of a cleartext cell from source. An unfragmented first fragment
  // is a whole message and passes straight through; any other is stored (a repeated
  // number is ignored; a first fragment's delivery replaces an earlier one) and the
  // message is returned when this fragment completed it.
  std::optional<ReassembledMessage> add(const CellSource& source, TunnelFragment fragment);
};

}  // namespace tunnel
