#include "crypto/x25519.h"

#include <algorithm>

#include "crypto/cpu_features.h"
#include "crypto/curve25519.h"
#include "crypto/field.h"
#include "crypto/x25519_ifma.h"
#include "crypto/x25519_mulx.h"

namespace crypto {

namespace {

// e * 121665 = e * (A - 2) / 4, the ladder's curve constant, without a full product.
Gf mul_a24(const Gf& e) {
  field_detail::i128 t[5];
  for (int i = 0; i < 5; ++i) t[i] = static_cast<field_detail::i128>(e.v[i]) * 121665;
  return field_detail::reduce_columns(t[0], t[1], t[2], t[3], t[4]);
}

X25519Key ladder(const std::array<std::uint8_t, 32>& k, const std::array<std::uint8_t, 32>& u_bytes) {
  const Gf x1 = gf_unpack(u_bytes);
  Gf x2 = gf_from_u64(1), z2{}, x3 = x1, z3 = gf_from_u64(1);
  // Every bit runs the same swaps and field operations; only the swap masks depend on
  // the scalar. The pairs are swapped back lazily: each step swaps by its bit XOR the
  // previous one, and the last swap follows the loop.
  std::uint32_t swapped = 0;
  for (int t = 254; t >= 0; --t) {
    const std::uint32_t bit = (k[static_cast<std::size_t>(t >> 3)] >> (t & 7)) & 1;
    gf_cswap(x2, x3, bit ^ swapped);
    gf_cswap(z2, z3, bit ^ swapped);
    swapped = bit;

    const Gf a = gf_add(x2, z2);
    const Gf aa = gf_sq(a);
    const Gf b = gf_sub(x2, z2);
    const Gf bb = gf_sq(b);
    const Gf e = gf_sub(aa, bb);
    const Gf c = gf_add(x3, z3);
    const Gf d = gf_sub(x3, z3);
    const Gf da = gf_mul(d, a);
    const Gf cb = gf_mul(c, b);
    x3 = gf_sq(gf_add(da, cb));
    z3 = gf_mul(x1, gf_sq(gf_sub(da, cb)));
    x2 = gf_mul(aa, bb);
    z2 = gf_mul(e, gf_add(aa, mul_a24(e)));
  }
  gf_cswap(x2, x3, swapped);
  gf_cswap(z2, z3, swapped);
  return gf_pack(gf_mul(x2, gf_inv(z2)));
}

// The scalar with its three low bits and bit 255 cleared and bit 254 set.
Result<std::array<std::uint8_t, 32>> clamped(ByteView scalar) {
  if (scalar.size() != 32)
    return fail(CryptoError::InvalidKey, msg("X25519 scalar must be 32 bytes, got ", scalar.size()));
  std::array<std::uint8_t, 32> k;
  std::copy(scalar.begin(), scalar.end(), k.begin());
  k[0] &= 248;
  k[31] &= 127;
  k[31] |= 64;
  return k;
}

}  // namespace

Result<X25519Key> x25519(ByteView scalar, ByteView u_coordinate, Engine engine) {
  return x25519(scalar, u_coordinate, engine == Engine::Best ? best_field_isa() : FieldIsa::Portable);
}

Result<X25519Key> x25519(ByteView scalar, ByteView u_coordinate, FieldIsa isa) {
  const auto k = clamped(scalar);
  if (!k) return std::unexpected(k.error());
  if (u_coordinate.size() != 32) {
    return fail(CryptoError::InvalidKey, msg("X25519 u-coordinate must be 32 bytes, got ", u_coordinate.size()));
  }
  std::array<std::uint8_t, 32> u;
  std::copy(u_coordinate.begin(), u_coordinate.end(), u.begin());
  if (!field_isa_supported(isa)) isa = best_field_isa();
#if defined(X25519_IFMA_AVAILABLE)
  if (isa == FieldIsa::Ifma) return x25519_ladder_ifma(*k, u);
#endif
#if defined(FIELD64_AVAILABLE)
  if (isa == FieldIsa::Mulx) return x25519_ladder_mulx(*k, u);
#endif
  return ladder(*k, u);
}

Result<X25519Key> x25519_public_key(ByteView private_key) {
  const auto k = clamped(private_key);
  if (!k) return std::unexpected(k.error());
  // u = 9 is the Montgomery form of the Ed25519 base point B, so k * 9 is the image of
  // [k]B under u = (1 + y) / (1 - y) = (Z + Y) / (Z - Y), and the base-point table does
  // the multiplication. A clamped k is 8 times a number below L, never a multiple of
  // L, so [k]B is not the neutral point and Z - Y is not zero.
  const EdPoint p = ed_scalarmult_base(*k);
  return gf_pack(gf_mul(gf_add(p.z, p.y), gf_inv(gf_sub(p.z, p.y))));
}

}  // namespace crypto
