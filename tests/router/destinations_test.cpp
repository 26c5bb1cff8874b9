// Client destinations on one router of a test network: transient destinations checked with
// OpenSSL's Ed25519 and X25519, the leases, expiry, published value and signature of a
// session's LeaseSet2, the refusals, publication to the closest floodfills, and the copy
// from the network that must not replace the router's own.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "encoding/reader.h"
#include "encoding/text.h"
#include "tests/router/dispatch_test_util.h"
#include "tests/router/lookups_test_util.h"
#include "tests/support/test_network.h"

namespace router {
namespace {

using lookups_test::by_distance;
using lookups_test::inbound_tunnel;
using lookups_test::network;
using lookups_test::new_session;
using lookups_test::P;
using lookups_test::queued_of;
using lookups_test::random_hash;
using ntcp2_net::Now;
using ntcp2_net::read_now;
using test_support::TestNetwork;

// The raw public key OpenSSL derives from a raw private key of the given kind.
Bytes openssl_public_key(int kind, ByteView private_key) {
  EVP_PKEY* key = EVP_PKEY_new_raw_private_key(kind, nullptr, private_key.data(), private_key.size());
  Bytes out(32);
  std::size_t len = out.size();
  const bool ok = key != nullptr && EVP_PKEY_get_raw_public_key(key, out.data(), &len) == 1 && len == 32;
  EVP_PKEY_free(key);
  return ok ? out : Bytes{};
}

bool openssl_ed25519_verify(ByteView public_key, ByteView message, ByteView signature) {
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size());
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  const bool ok = key != nullptr && ctx != nullptr && EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
                  EVP_DigestVerify(ctx, signature.data(), signature.size(), message.data(), message.size()) == 1;
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return ok;
}

TEST(TransientDestination, ItsKeysAndBothBase64FormsAgreeWithOpenSsl) {
  auto t = generate_transient_destination();
  ASSERT_TRUE(t) << to_string(t.error());
  auto public_bytes = encoding::base64_decode(t->public_b64);
  ASSERT_TRUE(public_bytes);
  ASSERT_EQ(public_bytes->size(), 391u);
  EXPECT_EQ(Bytes(public_bytes->begin() + 384, public_bytes->end()), (Bytes{5, 0, 4, 0, 7, 0, 0}));
  EXPECT_EQ(Bytes(public_bytes->begin() + 352, public_bytes->begin() + 384),
            openssl_public_key(EVP_PKEY_ED25519, t->signing_key));
  EXPECT_EQ(*public_bytes, t->destination.keys_and_cert.to_bytes());

  auto private_bytes = encoding::base64_decode(t->private_b64);
  ASSERT_TRUE(private_bytes);
  ASSERT_EQ(private_bytes->size(), 455u);
  encoding::Reader reader(*private_bytes);
  auto decoded = common::Destination::decode(reader);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, t->destination);
  const ByteView x25519_private = ByteView(*private_bytes).subspan(391, 32);
  EXPECT_EQ(openssl_public_key(EVP_PKEY_X25519, x25519_private),
            Bytes(t->encryption_keypair.public_key.begin(), t->encryption_keypair.public_key.end()));
  EXPECT_EQ(Bytes(private_bytes->begin() + 423, private_bytes->end()),
            Bytes(t->signing_key.begin(), t->signing_key.end()));

  auto other = generate_transient_destination();
  ASSERT_TRUE(other);
  EXPECT_NE(other->public_b64, t->public_b64);
}

TEST(SessionLeaseSet, WithoutTunnelsOneLeaseNamesTheRouterAndTheSignatureVerifies) {
  TestNetwork net = network(1);
  Router& r = net[0];
  SamSession s = new_session(r, "s");
  const Now now = read_now();
  auto ls = r.build_session_leaseset2(s, now);
  ASSERT_TRUE(ls);
  ASSERT_EQ(ls->leases.size(), 1u);
  EXPECT_EQ(ls->leases[0],
            (common::Lease2{r.router_hash(), static_cast<std::uint32_t>(s.tunnel_id), now.wall_s() + 600}));
  EXPECT_EQ(ls->published, now.wall_s());
  EXPECT_EQ(ls->expires, 600);
  EXPECT_EQ(ls->flags, 0);
  EXPECT_TRUE(ls->options.entries.empty());
  ASSERT_EQ(ls->encryption_keys.size(), 1u);
  EXPECT_EQ(ls->encryption_keys[0].key_type, common::CryptoPublicKeyType::X25519);
  EXPECT_EQ(ls->encryption_keys[0].key, Bytes(s.x25519_public->begin(), s.x25519_public->end()));
  EXPECT_TRUE(
      openssl_ed25519_verify(s.destination.keys_and_cert.signing_public_key(), *ls->signing_bytes(), ls->signature));
  const netdb::LeaseSet2Ptr stored = r.netdb.get_lease_set2(s.dest_hash, now.wall_s());
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(*stored, *ls);
}

TEST(SessionLeaseSet, LeasesAndExpiryFromTheInboundTunnels) {
  TestNetwork net = network(1);
  Router& r = net[0];
  const std::uint32_t now_s = read_now().wall_s();
  const Now now{read_now().mono_ms, std::uint64_t{now_s} * 1000};
  const common::Hash g[] = {random_hash(), random_hash(), random_hash(), random_hash(), random_hash()};
  struct Case {
    const char* name;
    std::vector<tunnel::Tunnel> inbound;
    std::vector<common::Lease2> leases;
    std::uint16_t expires;
  };
  const std::vector<Case> cases = {
      {"four live tunnels: the first three",
       {inbound_tunnel(g[0], 1, now_s + 500), inbound_tunnel(g[1], 2, now_s + 400),
        inbound_tunnel(g[2], 3, now_s + 300), inbound_tunnel(g[3], 4, now_s + 600)},
       {{g[0], 1, now_s + 500}, {g[1], 2, now_s + 400}, {g[2], 3, now_s + 300}},
       500},
      {"expired and hopless tunnels are skipped",
       {inbound_tunnel(g[0], 1, now_s), inbound_tunnel(g[1], 2, now_s + 300, false),
        inbound_tunnel(g[2], 3, now_s + 300)},
       {{g[2], 3, now_s + 300}},
       300},
      {"tunnels ending within 59 s: 60", {inbound_tunnel(g[4], 5, now_s + 59)}, {{g[4], 5, now_s + 59}}, 60},
      {"a tunnel ending past 660 s: 660", {inbound_tunnel(g[4], 5, now_s + 900)}, {{g[4], 5, now_s + 900}}, 660},
  };
  for (const Case& c : cases) {
    SamSession s = new_session(r, "s");
    r.tunnels.inbound = c.inbound;
    auto ls = r.build_session_leaseset2(s, now);
    ASSERT_TRUE(ls) << c.name;
    EXPECT_EQ(ls->leases, c.leases) << c.name;
    EXPECT_EQ(ls->expires, c.expires) << c.name;
  }
}

TEST(SessionLeaseSet, SessionsThatCannotHaveOne) {
  TestNetwork net = network(1);
  Router& r = net[0];
  struct Case {
    const char* name;
    std::function<void(SamSession&)> change;
    bool public_mode;
  };
  const std::vector<Case> cases = {
      {"no signing key", [](SamSession& s) { s.signing_key.reset(); }, false},
      {"no X25519 key, ElGamal destination", [](SamSession& s) { s.x25519_public.reset(); }, false},
      {"signing type other than Ed25519",
       [](SamSession& s) {
         common::KeyCertificate cert = common::KeyCertificate::create(common::CryptoPublicKeyType::ElGamal);
         cert.signing_type = common::SigningPublicKeyType::EcdsaSha256P256;
         s.destination.keys_and_cert.certificate = common::Certificate{cert};
       },
       false},
      {"public mode without a live inbound tunnel", [](SamSession&) {}, true},
  };
  for (const Case& c : cases) {
    SamSession s = new_session(r, "s");
    c.change(s);
    r.public_mode = c.public_mode;
    r.tunnels.inbound = {inbound_tunnel(random_hash(), 9, read_now().wall_s())};  // expired
    EXPECT_FALSE(r.build_session_leaseset2(s, read_now())) << c.name;
    EXPECT_EQ(r.netdb.get_lease_set2(s.dest_hash, read_now().wall_s()), nullptr) << c.name;
    EXPECT_EQ(s.last_lease_set, nullptr) << c.name;
  }
}

TEST(SessionLeaseSet, AChangedLeaseSet2IsPublishedLaterEvenWithinOneSecond) {
  TestNetwork net = network(1);
  Router& r = net[0];
  SamSession s = new_session(r, "s");
  const Now now = read_now();
  const std::uint32_t now_s = now.wall_s();
  r.tunnels.inbound = {inbound_tunnel(random_hash(), 1, now_s + 500)};
  auto first = r.build_session_leaseset2(s, now);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->published, now_s);

  // A new inbound tunnel within the same second.
  r.tunnels.inbound.push_back(inbound_tunnel(random_hash(), 2, now_s + 550));
  auto second = r.build_session_leaseset2(s, now);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->published, now_s + 1);
  EXPECT_EQ(second->expires, 549);  // counted from its published value
  EXPECT_EQ(*r.netdb.get_lease_set2(s.dest_hash, now_s), *second);

  // Unchanged: the same value, never an earlier one.
  auto again = r.build_session_leaseset2(s, now);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->published, now_s + 1);
  auto later = r.build_session_leaseset2(s, now.after(5000));
  ASSERT_TRUE(later);
  EXPECT_EQ(later->published, now_s + 5);
  EXPECT_EQ(*r.netdb.get_lease_set2(s.dest_hash, now_s + 5), *later);
}

TEST(SessionLeaseSet, ACopyFromTheNetworkNeverReplacesTheRoutersOwn) {
  TestNetwork net = network(2);
  Router& r = net[0];
  r.debug = true;
  r.sessions.push_back(new_session(r, "s"));
  SamSession& s = r.sessions.back();
  const Now now = read_now();
  auto own = r.build_session_leaseset2(s, now);
  ASSERT_TRUE(own);
  // A newer copy signed with the destination's key, as a saved destination used before
  // would have left on the floodfills.
  common::LeaseSet2 copy = *own;
  copy.published += 30;
  copy.leases = {common::Lease2{net.hash(1), 77, now.wall_s() + 300}};
  const auto signature = crypto::ed25519_sign(*s.signing_key, *copy.signing_bytes());
  copy.signature.assign(signature.begin(), signature.end());
  const P store = dispatch_test::store_of(copy);
  const std::string out = dispatch_test::dispatch_captured(r, {net.hash(1), MessageOrigin::Direct, 0}, store);
  EXPECT_TRUE(dispatch_test::contains(out, "stored=false")) << out;
  EXPECT_EQ(*r.netdb.get_lease_set2(s.dest_hash, now.wall_s()), *own);
  EXPECT_EQ(r.store_from_network(std::get<P::DatabaseStore>(store.value), now), false);
  // The same copy is taken for a destination that is not local.
  r.sessions.clear();
  EXPECT_EQ(r.store_from_network(std::get<P::DatabaseStore>(store.value), now), true);
}

TEST(SessionPublish, TheLeaseSet2GoesToTheThreeClosestFloodfills) {
  TestNetwork net = network(6, {1, 2, 3, 4});
  Router& r = net[0];
  r.sessions.push_back(new_session(r, "a"));
  r.sessions.push_back(new_session(r, "b"));
  const Now now = read_now();
  r.republish_all_sessions(now);
  for (const SamSession& s : r.sessions) {
    const std::vector<common::Hash> closest =
        by_distance(s.dest_hash, now.wall_s(), {net.hash(1), net.hash(2), net.hash(3), net.hash(4)});
    for (std::size_t i = 0; i < 4; ++i) {
      std::size_t stores = 0;
      for (const P::DatabaseStore& store : queued_of<P::DatabaseStore>(r, closest[i])) {
        if (store.key != s.dest_hash) continue;
        ++stores;
        EXPECT_EQ(store.store_type, 3);
        // Each store asks for its confirmation, straight back to the router without tunnels.
        EXPECT_NE(store.reply_token, 0u);
        EXPECT_EQ(store.reply_gateway, r.router_hash());
        EXPECT_EQ(store.reply_tunnel_id, 0u);
        EXPECT_EQ(store.data, s.last_lease_set->to_bytes().value());
      }
      EXPECT_EQ(stores, i < 3 ? 1u : 0u) << s.id << " floodfill " << i;
    }
  }
  EXPECT_TRUE(queued_of<P::DatabaseStore>(r, net.hash(5)).empty());

  // No floodfill: nothing is sent, to anyone.
  TestNetwork plain = network(3);
  plain[0].sessions.push_back(new_session(plain[0], "a"));
  plain[0].republish_all_sessions(now);
  EXPECT_TRUE(plain[0].pending_sends.empty());
  EXPECT_NE(plain[0].sessions[0].last_lease_set, nullptr);  // built and kept locally all the same

  // Public mode without an inbound tunnel: not even built.
  TestNetwork open = network(3, {1}, /*public_mode=*/true);
  open[0].sessions.push_back(new_session(open[0], "a"));
  open[0].republish_all_sessions(now);
  EXPECT_TRUE(open[0].pending_sends.empty());
  EXPECT_EQ(open[0].sessions[0].last_lease_set, nullptr);
}

TEST(RemoteDestinationKey, TheFirstX25519KeyElseTheDestinationsOwn) {
  const dispatch_test::TestDestination elgamal = dispatch_test::TestDestination::create();
  common::LeaseSet2 ls = elgamal.lease_set(random_hash(), 1, read_now().wall_s());
  const Bytes x(elgamal.encryption.public_key.begin(), elgamal.encryption.public_key.end());
  const Bytes other = dispatch_test::random_of(32);
  using K = common::LeaseSet2EncryptionKey;
  struct Case {
    const char* name;
    std::vector<K> keys;
    bool x25519_destination;
    std::optional<Bytes> expected;
  };
  const std::vector<Case> cases = {
      {"the only key", {K{common::CryptoPublicKeyType::X25519, x}}, false, x},
      {"another type first",
       {K{common::CryptoPublicKeyType::EcdhP256, other}, K{common::CryptoPublicKeyType::X25519, x}},
       false,
       x},
      {"a short X25519 key skipped",
       {K{common::CryptoPublicKeyType::X25519, Bytes(31, 1)}, K{common::CryptoPublicKeyType::X25519, x}},
       false,
       x},
      {"none, ElGamal destination", {K{common::CryptoPublicKeyType::EcdhP256, other}}, false, std::nullopt},
      {"none, X25519 destination",
       {},
       true,
       Bytes(ls.destination.keys_and_cert.keys.begin(), ls.destination.keys_and_cert.keys.begin() + 32)},
  };
  for (const Case& c : cases) {
    common::LeaseSet2 candidate = ls;
    candidate.encryption_keys = c.keys;
    if (c.x25519_destination) {
      candidate.destination.keys_and_cert.certificate =
          common::Certificate{common::KeyCertificate::create(common::CryptoPublicKeyType::X25519)};
    }
    const auto key = extract_x25519_key(candidate);
    ASSERT_EQ(key.has_value(), c.expected.has_value()) << c.name;
    if (key) {
      EXPECT_EQ(Bytes(key->begin(), key->end()), *c.expected) << c.name;
    }
  }
}

TEST(RatchetReset, OnePerDestinationAndWindow) {
  TestNetwork net = network(1);
  Router& r = net[0];
  const common::Hash d = random_hash();
  EXPECT_TRUE(r.try_acquire_ratchet_reset(d, 100000, 12000));
  EXPECT_FALSE(r.try_acquire_ratchet_reset(d, 111999, 12000));
  EXPECT_TRUE(r.try_acquire_ratchet_reset(random_hash(), 111999, 12000));
  EXPECT_TRUE(r.try_acquire_ratchet_reset(d, 112001, 12000));
}

}  // namespace
}  // namespace router
