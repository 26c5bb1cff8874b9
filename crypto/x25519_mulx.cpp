#include "crypto/x25519_mulx.h"

namespace crypto {

#if defined(FIELD64_AVAILABLE)

std::array<std::uint8_t, 32> x25519_ladder_mulx(const std::array<std::uint8_t, 32>& k,
                                                const std::array<std::uint8_t, 32>& u) {
  const Fe64 x1 = fe64_unpack(u);
  Fe64 x2{{1, 0, 0, 0}}, z2{}, x3 = x1, z3{{1, 0, 0, 0}};
  // As the portable ladder: the same operations for every bit, each step swapping by
  // its bit XOR the previous one, the last swap after the loop.
  std::uint64_t swapped = 0;
  Fe64 a, b, c, d, aa, bb, da, cb, e;
  for (int t = 254; t >= 0; --t) {
    const std::uint64_t bit = (k[static_cast<std::size_t>(t >> 3)] >> (t & 7)) & 1;
    fe64_cswap(x2, x3, bit ^ swapped);
    fe64_cswap(z2, z3, bit ^ swapped);
    swapped = bit;

    fe64_add(a, x2, z2);
    fe64_sub(b, x2, z2);
    fe64_add(c, x3, z3);
    fe64_sub(d, x3, z3);
    fe64_sq(aa, a);
    fe64_sq(bb, b);
    fe64_mul(da, d, a);
    fe64_mul(cb, c, b);
    fe64_sub(e, aa, bb);
    fe64_add(x3, da, cb);
    fe64_sq(x3, x3);
    fe64_sub(z3, da, cb);
    fe64_sq(z3, z3);
    fe64_mul(z3, z3, x1);
    fe64_mul(x2, aa, bb);
    fe64_mul_small(z2, e, 121665);
    fe64_add(z2, z2, aa);
    fe64_mul(z2, z2, e);
  }
  fe64_cswap(x2, x3, swapped);
  fe64_cswap(z2, z3, swapped);
  fe64_inv(z2, z2);
  fe64_mul(x2, x2, z2);
  return fe64_pack(x2);
}

#endif

}  // namespace crypto
