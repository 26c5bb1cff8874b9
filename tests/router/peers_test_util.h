#pragma once
// Helpers of the peer management tests: RouterInfos from the reference files, signed
// RouterInfos with chosen NTCP2 hosts, DatabaseStore messages, stdout capture.
#include <gtest/gtest.h>

#include <string>

#include "common/router_info.h"
#include "crypto/ed25519.h"
#include "encoding/reader.h"
#include "i2np/payload.h"
#include "ntcp2_net/random.h"
#include "router/own_router_info.h"
#include "tests/support/test_data.h"

namespace router::peers_test {

inline common::RouterInfo reference_router_info(const std::string& name) {
  const Bytes bytes = test_support::read_test_data("routerinfo/" + name);
  encoding::Reader reader(bytes);
  auto info = common::RouterInfo::decode(reader);
  EXPECT_TRUE(info) << name;
  return info ? *info : common::RouterInfo{};
}

// A freshly keyed, signed RouterInfo whose NTCP2 address names the host (and port 17000);
// crypto_type replaces the identity's X25519 key certificate when given.
inline common::RouterInfo signed_router_info(const std::string& host,
                                             std::optional<common::CryptoPublicKeyType> crypto_type = {}) {
  const Bytes seed = *ntcp2_net::random_bytes(32);
  const Bytes x25519 = *ntcp2_net::random_bytes(32);
  const Bytes filler = *ntcp2_net::random_bytes(320);
  const Bytes iv = *ntcp2_net::random_bytes(16);
  const auto ed = *crypto::ed25519_public_key(seed);
  const Bytes ed_bytes(ed.begin(), ed.end());
  OwnIdentityKeys keys{x25519, ed_bytes, filler, iv};
  auto info = build_own_router_info(keys, OwnAddress{host, 17000, false, false}, 1'700'000'000'000);
  EXPECT_TRUE(info);
  if (crypto_type) info->identity.keys_and_cert.certificate = common::Certificate{common::KeyCertificate::create(*crypto_type)};
  EXPECT_TRUE(sign_router_info(*info, seed));
  return *info;
}

inline i2np::I2npPayload database_store_of(const common::RouterInfo& info, std::uint32_t reply_token = 0) {
  i2np::I2npPayload::DatabaseStore store;
  store.key = info.identity.keys_and_cert.hash();
  store.store_type = 0;
  store.reply_token = reply_token;
  store.data = *info.to_bytes();
  return i2np::I2npPayload{std::move(store)};
}

inline common::Hash hash_of(const common::RouterInfo& info) { return info.identity.keys_and_cert.hash(); }

}  // namespace router::peers_test
