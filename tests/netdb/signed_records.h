#pragma once
// Signed RouterInfos and LeaseSet2s for the NetDB tests, made from fixed seeds.
#include <array>
#include <cstdint>
#include <string>

#include "common/lease_set2.h"
#include "common/router_info.h"
#include "crypto/ed25519.h"

namespace netdb_test {

inline std::array<std::uint8_t, 32> seed_of(std::uint8_t n) {
  std::array<std::uint8_t, 32> s{};
  s.fill(n);
  s[0] = 0xA5;
  return s;
}

inline common::KeysAndCert identity_of(std::uint8_t n) {
  common::KeysAndCert kc;
  for (std::size_t i = 0; i < kc.keys.size(); ++i) kc.keys[i] = static_cast<std::uint8_t>(n + i);
  auto pub = crypto::ed25519_public_key(seed_of(n));
  std::copy(pub->begin(), pub->end(), kc.keys.begin() + 352);
  kc.certificate.value = common::KeyCertificate::create(common::CryptoPublicKeyType::X25519);
  return kc;
}

// A RouterInfo of router n, signed with its seed.
inline common::RouterInfo router_info(std::uint8_t n, std::uint64_t published, const std::string& caps = "LR") {
  common::RouterInfo ri;
  ri.identity.keys_and_cert = identity_of(n);
  ri.published = published;
  ri.options = common::Mapping::from_entries({{"caps", caps}, {"netId", "2"}});
  auto sig = crypto::ed25519_sign(seed_of(n), *ri.unsigned_bytes());
  ri.signature.assign(sig->begin(), sig->end());
  return ri;
}

// A LeaseSet2 of destination n with one lease, signed with its seed.
inline common::LeaseSet2 lease_set(std::uint8_t n, std::uint32_t published, std::uint16_t expires) {
  common::LeaseSet2 ls;
  ls.destination.keys_and_cert = identity_of(n);
  ls.published = published;
  ls.expires = expires;
  common::Lease2 lease;
  lease.gateway.bytes.fill(0x42);
  lease.tunnel_id = 7;
  lease.end_date = published + 600;
  ls.leases.push_back(lease);
  auto sig = crypto::ed25519_sign(seed_of(n), *ls.signing_bytes());
  ls.signature.assign(sig->begin(), sig->end());
  return ls;
}

// A LeaseSet2 of destination n signed by a transient key t, whose offline block is signed
// by offline_signer's seed (n for a genuine one).
inline common::LeaseSet2 offline_lease_set(std::uint8_t n, std::uint8_t t, std::uint8_t offline_signer,
                                           std::uint32_t published, std::uint16_t expires) {
  common::LeaseSet2 ls;
  ls.destination.keys_and_cert = identity_of(n);
  ls.published = published;
  ls.expires = expires;
  ls.flags = 0x0001;
  common::OfflineSignature off;
  off.expires = published + 86400;
  off.transient_type = common::SigningPublicKeyType::EdDsaSha512Ed25519;
  auto tpub = crypto::ed25519_public_key(seed_of(t));
  off.transient_key.assign(tpub->begin(), tpub->end());
  auto osig = crypto::ed25519_sign(seed_of(offline_signer), off.unsigned_bytes());
  off.signature.assign(osig->begin(), osig->end());
  ls.offline_signature = off;
  auto sig = crypto::ed25519_sign(seed_of(t), *ls.signing_bytes());
  ls.signature.assign(sig->begin(), sig->end());
  return ls;
}

}  // namespace netdb_test
