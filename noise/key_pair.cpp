#include "noise/key_pair.h"

#include <algorithm>

#include "crypto/x25519.h"

namespace noise {

Result<KeyPair> KeyPair::from_private(ByteView private_key) {
  auto public_key = crypto::x25519_public_key(private_key);
  if (!public_key) return wrap(NoiseError::Crypto, std::move(public_key.error()));
  KeyPair pair;
  std::copy(private_key.begin(), private_key.end(), pair.private_key.begin());
  pair.public_key = *public_key;
  return pair;
}

}  // namespace noise
