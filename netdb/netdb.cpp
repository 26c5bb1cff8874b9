#include "netdb/netdb.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "crypto/ed25519.h"
#include "crypto/sha256.h"
#include "crypto/siphash.h"
#include "encoding/gzip.h"
#include "encoding/reader.h"
#include "encoding/text.h"

namespace netdb {

namespace {

constexpr const char* kRouterInfoSigFailed = "RouterInfo Ed25519 signature verification failed";
constexpr const char* kLeaseSet2SigFailed = "LeaseSet2 Ed25519 signature verification failed";

// A compressed RouterInfo may inflate to no more than an uncompressed one can carry in a
// message. Without this bound a few kilobytes of gzip would make the single loop inflate
// megabytes for every store a peer sends.
constexpr std::size_t kMaxRouterInfoBytes = 65535;

const common::SigningPublicKeyType kEd25519 = common::SigningPublicKeyType::EdDsaSha512Ed25519;

// Ed25519 verification of a LeaseSet2, its offline block included.
bool lease_set2_verifies(const common::LeaseSet2& ls) {
  const common::KeysAndCert& dest = ls.destination.keys_and_cert;
  if (dest.signing_type() != kEd25519) return false;
  auto signed_bytes = ls.signing_bytes();
  if (!signed_bytes) return false;
  const Bytes dest_key = dest.signing_public_key();
  if (ls.flags & 0x0001) {
    if (!ls.offline_signature) return false;
    const common::OfflineSignature& off = *ls.offline_signature;
    if (off.transient_type != kEd25519) return false;
    if (!crypto::ed25519_verify(dest_key, off.unsigned_bytes(), off.signature)) return false;
    return crypto::ed25519_verify(off.transient_key, *signed_bytes, ls.signature);
  }
  return crypto::ed25519_verify(dest_key, *signed_bytes, ls.signature);
}

std::uint32_t lease_set_end(const common::LeaseSet2& ls) {
  return static_cast<std::uint32_t>(ls.published + ls.expires);
}

}  // namespace

std::size_t KeyedHashOfHash::operator()(const common::Hash& h) const {
  return static_cast<std::size_t>(crypto::siphash_2_4(key, h.view()).value_or(0));
}

bool is_floodfill(const common::RouterInfo& info) {
  // The first "caps" entry counts, as Mapping::get would give it; read in place, since the
  // closest-router selection asks this of every router.
  for (const auto& [key, value] : info.options.entries) {
    if (key == "caps") return value.find('f') != std::string::npos;
  }
  return false;
}

bool is_live(const common::LeaseSet2& lease_set, std::uint32_t now_s) { return now_s < lease_set_end(lease_set); }

Result<bool> NetDb::store_router_info(common::RouterInfo info) {
  const common::Hash hash = info.identity.keys_and_cert.hash();
  const std::optional<std::size_t> known = router_index_.find(hash);
  // Refused before the costly signature check: a full list is what a flood looks like.
  if (!known && router_infos_.size() >= kMaxRouterInfos) return false;
  if (!info.verify_signature()) return fail(NetDbError::BadSignature, kRouterInfoSigFailed);
  if (!known) {
    router_infos_.push_back({hash, std::make_shared<const common::RouterInfo>(std::move(info))});
    router_index_.add(hash, router_infos_.size() - 1);
    return true;
  }
  RouterInfoEntry& entry = router_infos_[*known];
  if (entry.router_info->published >= info.published) return false;
  entry.router_info = std::make_shared<const common::RouterInfo>(std::move(info));
  return true;
}

void NetDb::insert_unverified(RouterInfoEntry entry) {
  if (const std::optional<std::size_t> known = router_index_.find(entry.hash)) {
    router_infos_[*known].router_info = std::move(entry.router_info);
    return;
  }
  router_index_.add(entry.hash, router_infos_.size());
  router_infos_.push_back(std::move(entry));
}

void NetDb::recount_lease_ends() {
  lease_ends_from_ = std::numeric_limits<std::uint32_t>::max();
  for (const LeaseSetEntry& e : lease_sets_) lease_ends_from_ = std::min(lease_ends_from_, lease_set_end(*e.lease_set));
}

void NetDb::drop_dead_lease_sets(std::uint32_t now_s) {
  if (now_s < lease_ends_from_) return;  // every entry is still live
  const std::size_t dropped =
      std::erase_if(lease_sets_, [&](const LeaseSetEntry& e) { return !is_live(*e.lease_set, now_s); });
  if (dropped > 0) lease_index_.rebuild(lease_sets_);
  recount_lease_ends();
}

Result<bool> NetDb::store_lease_set2(common::LeaseSet2 lease_set, std::uint32_t now_s) {
  const common::Hash hash = lease_set.destination.keys_and_cert.hash();
  const std::optional<std::size_t> known = lease_index_.find(hash);
  if (!known && lease_sets_.size() >= kMaxLeaseSets) {
    // LeaseSet2s expire within minutes; the dead ones give way before a live one is refused.
    drop_dead_lease_sets(now_s);
    if (lease_sets_.size() >= kMaxLeaseSets) return false;
  }
  if (!lease_set2_verifies(lease_set)) return fail(NetDbError::BadSignature, kLeaseSet2SigFailed);
  if (!is_live(lease_set, now_s)) return false;
  const std::uint32_t end = lease_set_end(lease_set);
  if (!known) {
    lease_sets_.push_back({hash, std::make_shared<const common::LeaseSet2>(std::move(lease_set))});
    lease_index_.add(hash, lease_sets_.size() - 1);
    lease_ends_from_ = std::min(lease_ends_from_, end);
    return true;
  }
  LeaseSetEntry& entry = lease_sets_[*known];
  if (entry.lease_set->published >= lease_set.published) return false;
  entry.lease_set = std::make_shared<const common::LeaseSet2>(std::move(lease_set));
  lease_ends_from_ = std::min(lease_ends_from_, end);
  return true;
}

void NetDb::insert_unverified(LeaseSetEntry entry) {
  lease_ends_from_ = std::min(lease_ends_from_, lease_set_end(*entry.lease_set));
  if (const std::optional<std::size_t> known = lease_index_.find(entry.hash)) {
    lease_sets_[*known].lease_set = std::move(entry.lease_set);
    return;
  }
  lease_index_.add(entry.hash, lease_sets_.size());
  lease_sets_.push_back(std::move(entry));
}

Result<bool> NetDb::handle_database_store(std::uint8_t store_type, const common::Hash& key, ByteView data,
                                          std::uint32_t now_s) {
  const unsigned type = store_type & 0x0F;
  if (type == 0) {
    Bytes inflated;
    ByteView ri_bytes = data;
    if (data.size() > 3 && data[2] == 0x1F && data[3] == 0x8B) {
      const std::size_t len = static_cast<std::size_t>(data[0]) << 8 | data[1];
      if (len == 0 || len + 2 > data.size()) {
        return fail(NetDbError::Invalid,
                    msg("DatabaseStore gzip length prefix ", len, " does not match payload ", data.size() - 2));
      }
      auto out = encoding::gzip_decompress(data.subspan(2, len), kMaxRouterInfoBytes);
      if (!out) return fail(NetDbError::Invalid, "DatabaseStore RouterInfo gunzip failed");
      inflated = std::move(*out);
      ri_bytes = inflated;
    }
    encoding::Reader reader(ri_bytes);
    auto info = common::RouterInfo::decode(reader);
    if (!info) return wrap(NetDbError::Common, std::move(info.error()));
    if (info->identity.keys_and_cert.hash() != key) {
      return fail(NetDbError::Invalid, "DatabaseStore key does not match RouterIdentity hash");
    }
    return store_router_info(std::move(*info));
  }
  if (type == 3) {
    encoding::Reader reader(data);
    auto ls = common::LeaseSet2::decode(reader);
    if (!ls) return wrap(NetDbError::Common, std::move(ls.error()));
    if (ls->destination.keys_and_cert.hash() != key) {
      return fail(NetDbError::Invalid, "DatabaseStore key does not match Destination hash");
    }
    return store_lease_set2(std::move(*ls), now_s);
  }
  return fail(NetDbError::Invalid, msg("unsupported DatabaseStore type: ", type));
}

RouterInfoPtr NetDb::get_router_info(const common::Hash& hash) const {
  const std::optional<std::size_t> at = router_index_.find(hash);
  return at ? router_infos_[*at].router_info : nullptr;
}

LeaseSet2Ptr NetDb::get_lease_set2(const common::Hash& hash, std::uint32_t now_s) const {
  const std::optional<std::size_t> at = lease_index_.find(hash);
  if (!at) return nullptr;
  const LeaseSet2Ptr& found = lease_sets_[*at].lease_set;
  return is_live(*found, now_s) ? found : nullptr;
}

LeaseSet2Ptr NetDb::get_lease_set2_by_b32(std::string_view name, std::uint32_t now_s) const {
  const std::string wanted = encoding::ascii_lower(name);
  for (const LeaseSetEntry& entry : lease_sets_) {
    if (entry.hash.to_b32_address() == wanted) {
      return is_live(*entry.lease_set, now_s) ? entry.lease_set : nullptr;
    }
  }
  return nullptr;
}

void NetDb::remove_router_info(const common::Hash& hash) {
  const std::optional<std::size_t> at = router_index_.find(hash);
  if (!at) return;
  router_infos_.erase(router_infos_.begin() + static_cast<std::ptrdiff_t>(*at));
  router_index_.rebuild(router_infos_);  // rare: the entries behind it moved up
}

void NetDb::remove_lease_set2(const common::Hash& hash) {
  const std::optional<std::size_t> at = lease_index_.find(hash);
  if (!at) return;
  lease_sets_.erase(lease_sets_.begin() + static_cast<std::ptrdiff_t>(*at));
  lease_index_.rebuild(lease_sets_);
  recount_lease_ends();
}

std::size_t NetDb::floodfill_count() const {
  return static_cast<std::size_t>(std::count_if(router_infos_.begin(), router_infos_.end(),
                                                [](const RouterInfoEntry& e) { return is_floodfill(*e.router_info); }));
}

common::Hash routing_key(const common::Hash& key, std::string_view date) {
  crypto::Sha256 h;
  h.update(key.view());
  h.update(as_bytes(date));
  return common::Hash{h.finalize()};
}

std::vector<RouterInfoPtr> NetDb::closest_peers(const common::Hash& key, std::string_view date, std::size_t count,
                                                bool floodfill_only, std::span<const common::Hash> excluded) const {
  if (count == 0) return {};
  const common::Hash rk = routing_key(key, date);

  struct Candidate {
    std::array<std::uint8_t, 32> distance;
    std::size_t index;  // position in the list: the order among equal distances
  };
  std::vector<Candidate> candidates;
  candidates.reserve(router_infos_.size());
  for (std::size_t i = 0; i < router_infos_.size(); ++i) {
    const RouterInfoEntry& entry = router_infos_[i];
    if (floodfill_only && !is_floodfill(*entry.router_info)) continue;
    if (std::find(excluded.begin(), excluded.end(), entry.hash) != excluded.end()) continue;
    Candidate c{{}, i};
    for (std::size_t k = 0; k < 32; ++k) c.distance[k] = entry.hash.bytes[k] ^ rk.bytes[k];
    candidates.push_back(c);
  }

  // Distances compare as big unsigned numbers from the first byte; the list position
  // breaks ties, which makes the partial sort give the same result as a stable sort.
  auto closer = [](const Candidate& a, const Candidate& b) {
    int d = std::memcmp(a.distance.data(), b.distance.data(), 32);
    return d != 0 ? d < 0 : a.index < b.index;
  };
  const std::size_t n = std::min(count, candidates.size());
  std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(n), candidates.end(), closer);

  std::vector<RouterInfoPtr> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(router_infos_[candidates[i].index].router_info);
  return out;
}

}  // namespace netdb
