// Answers to the DatabaseLookups other routers send: the LeaseSet2 or RouterInfo asked
// for as a DatabaseStore (sealed under the asker's key and tag when it asks for that), else
// a DatabaseSearchReply naming the closest floodfills. Every failure drops the answer;
// nothing is reported to the asker.
#include <string>
#include <utility>

#include "encoding/i2cp_gzip.h"
#include "encoding/writer.h"
#include "i2np/message.h"
#include "netdb/utc_date.h"
#include "ratchet/clove.h"
#include "ratchet/lookup_reply.h"
#include "router/id_counters.h"
#include "router/router.h"

namespace router {

namespace {

using P = i2np::I2npPayload;

constexpr std::uint8_t kFlagNoLeaseSet = 0x08;    // set for RouterInfo and exploratory lookups
constexpr std::uint8_t kFlagNoRouterInfo = 0x04;  // set for LeaseSet and exploratory lookups
constexpr std::size_t kSearchReplyPeers = 3;
constexpr std::size_t kMaxCompressedRouterInfo = 65535;
constexpr std::uint32_t kCloveExpirationS = 60;
constexpr std::uint64_t kAnswerExpirationMs = 60000;

P::DatabaseStore store_of(const common::Hash& key, std::uint8_t store_type, Bytes data) {
  P::DatabaseStore store;
  store.key = key;
  store.store_type = store_type;
  store.data = std::move(data);
  return store;
}

// A RouterInfo travels as a 2-byte length and a gzip member.
Result<Bytes> compressed_router_info(const common::RouterInfo& info) {
  auto plain = info.to_bytes();
  if (!plain) return wrap(NetDbError::Common, std::move(plain.error()));
  const Bytes member = encoding::i2cp_gzip_wrap(*plain, 0, 0, 0);
  if (member.size() > kMaxCompressedRouterInfo) {
    return fail(NetDbError::Invalid, "compressed RouterInfo exceeds 65535 bytes");
  }
  encoding::Writer w;
  w.write_u16_be(static_cast<std::uint32_t>(member.size()));
  w.write_bytes(member);
  return std::move(w.buf);
}

}  // namespace

void Router::handle_database_lookup_msg(const std::optional<common::Hash>& sender, const P::DatabaseLookup& lookup,
                                        const Now& now) {
  const std::uint32_t now_s = now.wall_s();
  const LookupKind kind = lookup_kind_of_flags(lookup.flags);

  // In public mode the router answers with a LeaseSet2 only as a floodfill, and never with
  // a local destination's: any other LeaseSet2 it holds is one of its own destinations or
  // one its user looked up, and handing it out would tell the asker so.
  const bool may_give_lease_set =
      !public_mode || (netdb::is_floodfill(router_info) && !is_local_destination(lookup.key));
  std::optional<P> answer;
  if ((lookup.flags & kFlagNoLeaseSet) == 0 && may_give_lease_set) {
    if (const netdb::LeaseSet2Ptr lease_set = netdb.get_lease_set2(lookup.key, now_s)) {
      auto bytes = lease_set->to_bytes();
      if (!bytes) return;
      answer = P{store_of(lookup.key, common::LeaseSet2::kStoreType, std::move(*bytes))};
    }
  }
  if (!answer && (lookup.flags & kFlagNoRouterInfo) == 0) {
    if (const netdb::RouterInfoPtr info = netdb.get_router_info(lookup.key)) {
      auto data = compressed_router_info(*info);
      if (!data) return;
      answer = P{store_of(lookup.key, 0, std::move(*data))};
    }
  }
  if (!answer) {
    // The own router is not excluded: a floodfill may name itself.
    P::DatabaseSearchReply reply;
    reply.key = lookup.key;
    reply.from = router_hash();
    for (const netdb::RouterInfoPtr& info :
         netdb.closest_peers(lookup.key, netdb::format_utc_date(now_s), kSearchReplyPeers,
                             kind != LookupKind::Exploratory, lookup.excluded_peers)) {
      reply.peers.push_back(info->identity.keys_and_cert.hash());
    }
    answer = P{std::move(reply)};
  }

  // A store goes sealed when the asker gave a key and tag for it; a search reply never.
  const bool is_store = std::holds_alternative<P::DatabaseStore>(answer->value);
  if ((lookup.flags & P::DatabaseLookup::kFlagEciesTags) != 0 && is_store && lookup.reply_key &&
      !lookup.reply_tags.empty()) {
    auto clove = ratchet::garlic_clove_block(ratchet::CloveDelivery::Local{}, take_id(next_msg_id),
                                             now_s + kCloveExpirationS, *answer);
    if (!clove) return;
    auto sealed = ratchet::encrypt_ecies_lookup_reply(*lookup.reply_key, lookup.reply_tags.front(), {*clove});
    if (!sealed) return;
    answer = P{P::Garlic{std::move(*sealed)}};
  }

  if ((lookup.flags & P::DatabaseLookup::kFlagTunnelReply) != 0 && lookup.reply_tunnel_id) {
    auto message = i2np::encode_standard_message(take_id(next_msg_id), now.wall_ms + kAnswerExpirationMs, *answer);
    if (!message) return;
    send_i2np_to_peer(lookup.from, P{P::TunnelGateway{*lookup.reply_tunnel_id, std::move(*message)}}, now);
    return;
  }
  const common::Hash& to = netdb.get_router_info(lookup.from) || !sender ? lookup.from : *sender;
  send_i2np_to_peer(to, std::move(*answer), now);
}

}  // namespace router
