#pragma once
// The router's network database: every RouterInfo and LeaseSet2 it knows, in memory for
// the life of the process.
//
// Entries enter only after their signature verifies, and replace a stored entry of the
// same hash only when strictly newer. Any peer can make identities and sign records, so each
// list is bounded: at its bound a new entry is refused (a full LeaseSet2 list first drops the
// entries that are no longer live), while a newer copy of a known entry is still taken.
// Lists keep the order of first insertion (a replacement keeps its place) and hold each hash
// at most once. Look-ups by hash go through an index of each list, so a flood of stores at
// the bound costs a hash each, not a walk of 10,000 entries. The lists are private: every
// change goes through the NetDB's own functions, which keep the index exact. Stored values
// are shared and immutable, so a caller's copy stays valid after the entry is replaced.
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/hash.h"
#include "common/lease_set2.h"
#include "common/router_info.h"
#include "encoding/bytes.h"
#include "encoding/error.h"

namespace netdb {

using RouterInfoPtr = std::shared_ptr<const common::RouterInfo>;
using LeaseSet2Ptr = std::shared_ptr<const common::LeaseSet2>;

struct RouterInfoEntry {
  common::Hash hash;  // the router's identity hash
  RouterInfoPtr router_info;
};

struct LeaseSetEntry {
  common::Hash hash;  // the destination's identity hash
  LeaseSet2Ptr lease_set;
};

// A RouterInfo is a floodfill when its "caps" option holds a lower-case "f".
bool is_floodfill(const common::RouterInfo& info);

// A LeaseSet2 is live while now_s < published + expires (32-bit unsigned arithmetic).
bool is_live(const common::LeaseSet2& lease_set, std::uint32_t now_s);

// The bounds of the two lists.
inline constexpr std::size_t kMaxRouterInfos = 10000;
inline constexpr std::size_t kMaxLeaseSets = 10000;

// Identity hashes hashed for an index, under a key of the index's own: whoever makes
// identities cannot aim them at one bucket without knowing it.
struct KeyedHashOfHash {
  std::array<std::uint8_t, 16> key{};
  std::size_t operator()(const common::Hash& h) const;
};

// The position of each hash in one list. Only the NetDB that owns the list changes it, and
// tells the index of every change through add() and rebuild().
class PositionIndex {
 public:
  explicit PositionIndex(const std::array<std::uint8_t, 16>& key = {}) : positions_(0, KeyedHashOfHash{key}) {}

  // The position of the entry under the hash, or none.
  std::optional<std::size_t> find(const common::Hash& hash) const {
    const auto it = positions_.find(hash);
    if (it == positions_.end()) return std::nullopt;
    return it->second;
  }

  // An entry of a hash not yet in the list appended at position `at`.
  void add(const common::Hash& hash, std::size_t at) { positions_.try_emplace(hash, at); }

  // Indexes the list anew, after entries left it and the ones behind them moved up.
  template <typename Entry>
  void rebuild(const std::vector<Entry>& list) {
    positions_.clear();
    positions_.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) positions_.try_emplace(list[i].hash, i);
  }

 private:
  std::unordered_map<common::Hash, std::size_t, KeyedHashOfHash> positions_;
};

class NetDb {
 public:
  NetDb() = default;
  // With the key under which the indexes hash identity hashes (the router's is random).
  explicit NetDb(const std::array<std::uint8_t, 16>& index_key) : router_index_(index_key), lease_index_(index_key) {}

  // The lists, in order of first insertion.
  const std::vector<RouterInfoEntry>& router_infos() const { return router_infos_; }
  const std::vector<LeaseSetEntry>& lease_sets() const { return lease_sets_; }

  // True when stored (new, or strictly newer than the stored copy); false when an equal
  // or newer copy is kept, or when the entry is new and the list holds its 10,000 entries
  // (refused before its signature is checked). NetDbError::BadSignature when the signature
  // does not verify.
  Result<bool> store_router_info(common::RouterInfo info);

  // As store_router_info for a LeaseSet2 (offline signatures included). A LeaseSet2
  // that is not live at now_s is not stored (false). A new LeaseSet2 finding the list full
  // first removes the entries no longer live at now_s; it is refused when none is.
  Result<bool> store_lease_set2(common::LeaseSet2 lease_set, std::uint32_t now_s);

  // The entry as given, under its given hash, with no signature check and no bound (nor,
  // for a LeaseSet2, a liveness check): for a caller that built the record itself or has
  // verified it already. It takes the place of a stored entry of the same hash, whatever
  // either's publication time, and is appended otherwise.
  void insert_unverified(RouterInfoEntry entry);
  void insert_unverified(LeaseSetEntry entry);

  // The data of a DatabaseStore: type 0 (RouterInfo, plain or gzip with a 2-byte length;
  // a gzip member that inflates past 65,535 bytes is refused) or type 3 (LeaseSet2); the
  // high 4 bits of the type byte are ignored.
  Result<bool> handle_database_store(std::uint8_t store_type, const common::Hash& key, ByteView data,
                                     std::uint32_t now_s);

  // Null when unknown.
  RouterInfoPtr get_router_info(const common::Hash& hash) const;
  // Null when unknown or no longer live.
  LeaseSet2Ptr get_lease_set2(const common::Hash& hash, std::uint32_t now_s) const;
  // The LeaseSet2 whose destination's ".b32.i2p" address equals the name (any case).
  LeaseSet2Ptr get_lease_set2_by_b32(std::string_view name, std::uint32_t now_s) const;

  // Forgets the entry of the hash, if any; the entries behind it move up one place.
  void remove_router_info(const common::Hash& hash);
  void remove_lease_set2(const common::Hash& hash);

  std::size_t floodfill_count() const;

  // Up to count RouterInfos closest to the key under the routing key of the given UTC
  // date (SHA-256 of the key bytes followed by the date text), closest first.
  std::vector<RouterInfoPtr> closest_peers(const common::Hash& key, std::string_view date, std::size_t count,
                                           bool floodfill_only, std::span<const common::Hash> excluded) const;

 private:
  std::vector<RouterInfoEntry> router_infos_;
  std::vector<LeaseSetEntry> lease_sets_;
  PositionIndex router_index_;
  PositionIndex lease_index_;
  // No LeaseSet2 of the list ends before this (a lower bound of published + expires), so a
  // full list before that time has no dead entry to drop and is not walked for one. Every
  // entry that comes in lowers it to its own end; removals take it anew from the list.
  std::uint32_t lease_ends_from_ = std::numeric_limits<std::uint32_t>::max();

  // Drops the LeaseSet2s dead at now_s when there may be some.
  void drop_dead_lease_sets(std::uint32_t now_s);
  void recount_lease_ends();
};

// The routing key of a NetDB key on a UTC date.
common::Hash routing_key(const common::Hash& key, std::string_view date);

}  // namespace netdb
