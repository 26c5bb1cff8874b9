#include "router/own_router_info.h"

#include <algorithm>

#include "common/certificate.h"
#include "crypto/ed25519.h"
#include "encoding/text.h"

namespace router {

bool is_reachable(const OwnAddress& address) {
  return !(address.public_mode && (address.host == "127.0.0.1" || address.host == "0.0.0.0"));
}

Result<common::RouterInfo> build_own_router_info(const OwnIdentityKeys& keys, const OwnAddress& address,
                                                 std::uint64_t published_ms) {
  if (keys.x25519_public.size() != 32) {
    return fail(CommonError::Invalid, msg("X25519 public key must be 32 bytes, got ", keys.x25519_public.size()));
  }
  if (keys.ed25519_public.size() != 32) {
    return fail(CommonError::Invalid, msg("Ed25519 public key must be 32 bytes, got ", keys.ed25519_public.size()));
  }
  if (keys.filler.size() != 320) {
    return fail(CommonError::Invalid, msg("identity filler must be 320 bytes, got ", keys.filler.size()));
  }

  common::RouterInfo info;
  common::KeysAndCert& kc = info.identity.keys_and_cert;
  std::copy(keys.x25519_public.begin(), keys.x25519_public.end(), kc.keys.begin());
  std::copy(keys.filler.begin(), keys.filler.end(), kc.keys.begin() + 32);
  std::copy(keys.ed25519_public.begin(), keys.ed25519_public.end(), kc.keys.begin() + 352);
  kc.certificate.value = common::KeyCertificate::create(common::CryptoPublicKeyType::X25519);
  info.published = published_ms;

  const bool reachable = is_reachable(address);
  const std::string s = encoding::base64_encode(keys.x25519_public);
  common::RouterAddress ntcp2;
  ntcp2.expiration = 0;
  ntcp2.transport_style = "NTCP2";
  if (reachable) {
    ntcp2.cost = 3;
    ntcp2.options = common::Mapping::from_entries({{"caps", "4"},
                                                   {"host", address.host},
                                                   {"i", encoding::base64_encode(keys.ntcp2_iv)},
                                                   {"port", std::to_string(address.port)},
                                                   {"s", s},
                                                   {"v", "2"}});
  } else {
    ntcp2.cost = 14;
    ntcp2.options = common::Mapping::from_entries({{"caps", "4"}, {"s", s}, {"v", "2"}});
  }
  info.addresses.push_back(std::move(ntcp2));

  const std::string caps = address.floodfill ? "LRf" : (!reachable ? "LU" : "LR");
  info.options = common::Mapping::from_entries({{"caps", caps}, {"netId", "2"}, {"router.version", "0.9.64"}});

  if (kc.signing_type() != common::SigningPublicKeyType::EdDsaSha512Ed25519) {
    return fail(CommonError::Unsupported, "RouterInfo identity signing type must be EdDsaSha512Ed25519");
  }
  return info;
}

Result<void> sign_router_info(common::RouterInfo& info, ByteView signing_seed) {
  auto unsigned_bytes = info.unsigned_bytes();
  if (!unsigned_bytes) return std::unexpected(std::move(unsigned_bytes.error()));
  auto signature = crypto::ed25519_sign(signing_seed, *unsigned_bytes);
  if (!signature) return wrap(CommonError::Crypto, std::move(signature.error()));
  info.signature.assign(signature->begin(), signature->end());
  return {};
}

}  // namespace router
