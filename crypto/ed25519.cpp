#include "crypto/ed25519.h"

#include <algorithm>

#include "crypto/ct_eq.h"
#include "crypto/curve25519.h"
#include "crypto/sha512.h"

namespace crypto {

namespace {

struct ExpandedKey {
  std::array<std::uint8_t, 32> scalar;  // clamped, not reduced
  std::array<std::uint8_t, 32> prefix;
  Ed25519PublicKey public_key;
};

ExpandedKey expand(ByteView seed) {
  const auto h = sha512(seed);
  ExpandedKey k;
  k.scalar = clamp_ed25519_scalar(h);
  std::copy(h.begin() + 32, h.end(), k.prefix.begin());
  k.public_key = ed_pack(ed_scalarmult_base(k.scalar));
  return k;
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

}  // namespace

Result<Ed25519PublicKey> ed25519_public_key(ByteView seed) {
  if (auto ok = check_seed(seed); !ok) return std::unexpected(ok.error());
  return expand(seed).public_key;
}

Result<Ed25519Signature> ed25519_sign(ByteView seed, ByteView message) {
  if (auto ok = check_seed(seed); !ok) return std::unexpected(ok.error());
  const ExpandedKey key = expand(seed);

  Sha512 rh;
  rh.update(key.prefix);
  rh.update(message);
  const auto r = reduce_64_mod_l(rh.finalize());
  const auto r_enc = ed_pack(ed_scalarmult_base(r));
  const auto k = challenge(r_enc, key.public_key, message);

  // S = (r + k * a) mod L: the product as a radix-2^8 convolution, plus r.
  std::array<std::int64_t, 64> x{};
  for (std::size_t i = 0; i < 32; ++i) x[i] = r[i];
  for (std::size_t i = 0; i < 32; ++i) {
    for (std::size_t j = 0; j < 32; ++j) x[i + j] += static_cast<std::int64_t>(k[i]) * key.scalar[j];
  }
  const auto s = mod_l(x);

  Ed25519Signature sig;
  std::copy(r_enc.begin(), r_enc.end(), sig.begin());
  std::copy(s.begin(), s.end(), sig.begin() + 32);
  return sig;
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
