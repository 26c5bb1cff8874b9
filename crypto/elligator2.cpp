#include "crypto/elligator2.h"

#include <algorithm>

#include "crypto/field.h"

namespace crypto {

Result<std::array<std::uint8_t, 32>> elligator2_decode(ByteView representative) {
  if (representative.size() != 32) {
    return fail(CryptoError::InvalidKey,
                msg("Elligator2 representative must be 32 bytes, got ", representative.size()));
  }
  std::array<std::uint8_t, 32> rep;
  std::copy(representative.begin(), representative.end(), rep.begin());
  rep[31] &= 0x3f;
  const Gf r = gf_unpack(rep);

  const Gf one = gf_from_u64(1);
  const Gf a = gf_from_u64(486662);
  // w = 1 + 2 r^2 is never zero, since 2 is not a square modulo p.
  const Gf r2 = gf_sq(r);
  const Gf w = gf_add(one, gf_add(r2, r2));
  const Gf v = gf_mul(gf_sub(Gf{}, a), gf_inv(w));
  // e = v^3 + A v^2 + v = v (v^2 + A v + 1)
  const Gf e = gf_mul(v, gf_add(gf_add(gf_sq(v), gf_mul(a, v)), one));
  const bool e_square = gf_is_zero(e) || gf_sqrt_opt(e).has_value();
  const Gf u = e_square ? v : gf_sub(gf_sub(Gf{}, v), a);
  return gf_pack(u);
}

}  // namespace crypto
