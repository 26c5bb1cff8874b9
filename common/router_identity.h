#pragma once
// A router's identity: the KeysAndCert at the head of its RouterInfo. Kept a distinct
// type from Destination so the two never mix.
#include "common/keys_and_cert.h"

namespace common {

struct RouterIdentity {
  KeysAndCert keys_and_cert;

  friend bool operator==(const RouterIdentity&, const RouterIdentity&) = default;
};

}  // namespace common
