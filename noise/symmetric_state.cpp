#include "noise/symmetric_state.h"

#include <algorithm>

#include "crypto/sha256.h"
#include "noise/hkdf2.h"

namespace noise {

SymmetricState SymmetricState::initialize(ByteView protocol_name) {
  SymmetricState s;
  if (protocol_name.size() <= s.h.size()) {
    std::copy(protocol_name.begin(), protocol_name.end(), s.h.begin());
  } else {
    s.h = crypto::sha256(protocol_name);
  }
  s.ck = s.h;
  return s;
}

SymmetricState SymmetricState::from_parts(const std::array<std::uint8_t, 32>& ck,
                                          const std::array<std::uint8_t, 32>& h) {
  SymmetricState s;
  s.ck = ck;
  s.h = h;
  return s;
}

void SymmetricState::mix_hash(ByteView data) {
  crypto::Sha256 hasher;
  hasher.update(h);
  hasher.update(data);
  h = hasher.finalize();
}

void SymmetricState::mix_key(ByteView input_key_material) {
  auto [next_ck, k] = noise_hkdf2(ck, input_key_material);
  ck = next_ck;
  cipher.k = k;
  cipher.n = 0;
}

Result<Bytes> SymmetricState::encrypt_and_hash(ByteView plaintext) {
  auto ciphertext = cipher.encrypt_with_ad(h, plaintext);
  if (ciphertext) mix_hash(*ciphertext);
  return ciphertext;
}

Result<void> SymmetricState::encrypt_and_hash_into(ByteView plaintext, std::span<std::uint8_t> out) {
  auto sealed = cipher.encrypt_with_ad_into(h, plaintext, out);
  if (sealed) mix_hash(out);
  return sealed;
}

Result<Bytes> SymmetricState::decrypt_and_hash(ByteView ciphertext) {
  auto plaintext = cipher.decrypt_with_ad(h, ciphertext);
  if (plaintext) mix_hash(ciphertext);
  return plaintext;
}

}  // namespace noise
