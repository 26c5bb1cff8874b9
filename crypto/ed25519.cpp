#include "crypto/ed25519.h"

#include <algorithm>

#include "crypto/ct_eq.h"
#include "crypto/curve25519.h"
#include "crypto/sha512.h"

namespace crypto {

namespace {

// The secret scalar and nonce prefix of a seed.
void expand_secret(ByteView seed, Ed25519SigningKey& key) {
  const auto h = sha512(seed);
  key.scalar = clamp_ed25519_scalar(h);
  std::copy(h.begin() + 32, h.end(), key.prefix.begin());
}

// r = SHA-512(prefix || message) reduced modulo L.
std::array<std::uint8_t, 32> nonce(const Ed25519SigningKey& key, ByteView message) {
  Sha512 rh;
  rh.update(key.prefix);
  rh.update(message);
  return reduce_64_mod_l(rh.finalize());
}

// SHA-512(R || A || message) reduced modulo L.
std::array<std::uint8_t, 32> challenge(ByteView r, ByteView a, ByteView message) {
  Sha512 h;
  h.update(r);
  h.update(a);
  h.update(message);
  return reduce_64_mod_l(h.finalize());
}

Result<void> check_seed(ByteView seed) {
  if (seed.size() != 32) return fail(CryptoError::InvalidKey, msg("Ed25519 seed must be 32 bytes, got ", seed.size()));
  return {};
}

// S < L, compared from the most significant byte down.
bool below_l(ByteView s) {
  for (int i = 31; i >= 0; --i) {
    const auto idx = static_cast<std::size_t>(i);
    if (s[idx] != ed_l[idx]) return s[idx] < ed_l[idx];
  }
  return false;
}

// S = (r + k * a) mod L, and the signature R || S.
Ed25519Signature finish(const Ed25519SigningKey& key, ByteView message, const std::array<std::uint8_t, 32>& r,
                        const std::array<std::uint8_t, 32>& r_enc) {
  const auto k = challenge(r_enc, key.public_key, message);
  const auto s = mul_add_mod_l(k, key.scalar, r);

  Ed25519Signature sig;
  std::copy(r_enc.begin(), r_enc.end(), sig.begin());
  std::copy(s.begin(), s.end(), sig.begin() + 32);
  return sig;
}

}  // namespace

Result<Ed25519PublicKey> ed25519_public_key(ByteView seed) {
  if (auto ok = check_seed(seed); !ok) return std::unexpected(ok.error());
  Ed25519SigningKey key;
  expand_secret(seed, key);
  return ed_pack(ed_scalarmult_base(key.scalar));
}

Result<Ed25519SigningKey> ed25519_signing_key(ByteView seed) {
  if (auto ok = check_seed(seed); !ok) return std::unexpected(ok.error());
  Ed25519SigningKey key;
  expand_secret(seed, key);
  key.public_key = ed_pack(ed_scalarmult_base(key.scalar));
  return key;
}

Result<Ed25519Signature> ed25519_sign(ByteView seed, ByteView message) {
  if (auto ok = check_seed(seed); !ok) return std::unexpected(ok.error());
  Ed25519SigningKey key;
  expand_secret(seed, key);
  const auto r = nonce(key, message);
  // A and R are encoded together, sharing one inversion.
  const auto encodings = ed_pack_pair(ed_scalarmult_base(key.scalar), ed_scalarmult_base(r));
  key.public_key = encodings[0];
  return finish(key, message, r, encodings[1]);
}

Ed25519Signature ed25519_sign(const Ed25519SigningKey& key, ByteView message) {
  const auto r = nonce(key, message);
  return finish(key, message, r, ed_pack(ed_scalarmult_base(r)));
}

bool ed25519_verify(ByteView public_key, ByteView message, ByteView signature) {
  if (public_key.size() != 32 || signature.size() != 64) return false;
  const auto a = ed_unpack(public_key);
  if (!a) return false;
  const ByteView r_enc = signature.first(32);
  const ByteView s_bytes = signature.subspan(32);
  if (!below_l(s_bytes)) return false;

  // [S]B - [k]A is encoded and compared with R's bytes. An encoding that is not
  // canonical, or names no point, never equals one that ed_pack produces, so this
  // refuses exactly what decoding R first would.
  const auto k = challenge(r_enc, public_key, message);
  std::array<std::uint8_t, 32> s;
  std::copy(s_bytes.begin(), s_bytes.end(), s.begin());
  const auto check = ed_pack(ed_double_scalarmult_vartime(k, ed_negate(*a), s));
  return ct_eq(check, r_enc);
}

}  // namespace crypto
