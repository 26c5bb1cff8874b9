#include "crypto/field.h"

#include "crypto/cpu_features.h"
#include "crypto/ct_eq.h"
#include "crypto/field64.h"
#include "crypto/x25519_ifma.h"

namespace crypto {

bool field_isa_supported(FieldIsa isa) {
  const CpuFeatures& f = cpu_features();
  switch (isa) {
    case FieldIsa::Portable: return true;
#if defined(FIELD64_AVAILABLE)
    case FieldIsa::Mulx: return f.bmi2 && f.adx;
#endif
#if defined(X25519_IFMA_AVAILABLE)
    case FieldIsa::Ifma: return f.avx512ifma;
#endif
    default: return false;
  }
}

FieldIsa best_field_isa() {
  static const FieldIsa best = [] {
    for (FieldIsa isa : {FieldIsa::Ifma, FieldIsa::Mulx}) {
      if (field_isa_supported(isa)) return isa;
    }
    return FieldIsa::Portable;
  }();
  return best;
}

const char* to_string(FieldIsa isa) {
  switch (isa) {
    case FieldIsa::Portable: return "portable";
    case FieldIsa::Mulx: return "mulx";
    case FieldIsa::Ifma: return "ifma";
  }
  return "unknown";
}

namespace {

using field_detail::kMask51;

// a^(2^n): n squarings.
Gf sq_times(Gf a, int n) {
  for (int i = 0; i < n; ++i) a = gf_sq(a);
  return a;
}

// The powers both exponentiations share: returns a^(2^250 - 1) and leaves a^11 in z11.
Gf pow_2_250_minus_1(const Gf& z, Gf& z11) {
  const Gf z2 = gf_sq(z);
  const Gf z9 = gf_mul(sq_times(z2, 2), z);
  z11 = gf_mul(z9, z2);
  const Gf z_5_0 = gf_mul(gf_sq(z11), z9);                  // 2^5 - 1
  const Gf z_10_0 = gf_mul(sq_times(z_5_0, 5), z_5_0);      // 2^10 - 1
  const Gf z_20_0 = gf_mul(sq_times(z_10_0, 10), z_10_0);   // 2^20 - 1
  const Gf z_40_0 = gf_mul(sq_times(z_20_0, 20), z_20_0);   // 2^40 - 1
  const Gf z_50_0 = gf_mul(sq_times(z_40_0, 10), z_10_0);   // 2^50 - 1
  const Gf z_100_0 = gf_mul(sq_times(z_50_0, 50), z_50_0);  // 2^100 - 1
  const Gf z_200_0 = gf_mul(sq_times(z_100_0, 100), z_100_0);
  return gf_mul(sq_times(z_200_0, 50), z_50_0);  // 2^250 - 1
}

}  // namespace

std::array<std::uint8_t, 32> gf_pack(const Gf& a) {
  Gf t = a;
  // After one pass limbs 1..4 lie in [0, 2^51) and limb 0 is within a few thousand of
  // that range. Adding 2p limb by limb makes every limb positive without changing the
  // value modulo p; two more passes then leave every limb in [0, 2^51), so the value is
  // below 2^255 < 2p.
  gf_carry(t);
  t.v[0] += 2 * (kMask51 - 18);
  for (int i = 1; i < 5; ++i) t.v[i] += 2 * kMask51;
  gf_carry(t);
  gf_carry(t);

  // q = 1 exactly when the value is p or more; then add 19 and drop bit 255, which
  // subtracts p.
  std::int64_t q = (t.v[0] + 19) >> 51;
  for (int i = 1; i < 5; ++i) q = (t.v[i] + q) >> 51;
  t.v[0] += 19 * q;
  for (int i = 0; i < 4; ++i) {
    t.v[i + 1] += t.v[i] >> 51;
    t.v[i] &= kMask51;
  }
  t.v[4] &= kMask51;

  const auto l = [&](int i) { return static_cast<std::uint64_t>(t.v[i]); };
  const std::uint64_t words[4] = {
      l(0) | (l(1) << 51),
      (l(1) >> 13) | (l(2) << 38),
      (l(2) >> 26) | (l(3) << 25),
      (l(3) >> 39) | (l(4) << 12),
  };
  std::array<std::uint8_t, 32> out{};
  for (int w = 0; w < 4; ++w) {
    for (int b = 0; b < 8; ++b)
      out[static_cast<std::size_t>(8 * w + b)] = static_cast<std::uint8_t>(words[w] >> (8 * b));
  }
  return out;
}

Gf gf_inv(const Gf& a) {
  Gf z11;
  const Gf z_250_0 = pow_2_250_minus_1(a, z11);
  return gf_mul(sq_times(z_250_0, 5), z11);  // 2^255 - 32 + 11 = p - 2
}

Gf gf_pow2523(const Gf& a) {
  Gf z11;
  const Gf z_250_0 = pow_2_250_minus_1(a, z11);
  return gf_mul(sq_times(z_250_0, 2), a);  // 2^252 - 4 + 1
}

bool gf_is_zero(const Gf& a) {
  static constexpr std::array<std::uint8_t, 32> zero{};
  return ct_eq(gf_pack(a), zero);
}

bool gf_equal(const Gf& a, const Gf& b) { return ct_eq(gf_pack(a), gf_pack(b)); }

std::optional<Gf> gf_sqrt_opt(const Gf& a) {
  if (gf_is_zero(a)) return Gf{};
  // b = a^((p + 3) / 8) squares to a or to -a whenever a is a square.
  const Gf b = gf_mul(a, gf_pow2523(a));
  const Gf b2 = gf_sq(b);
  if (gf_equal(b2, a)) return b;
  if (gf_equal(b2, gf_sub(Gf{}, a))) {
    return gf_mul(b, ed_sqrt_m1);
  }
  return std::nullopt;
}

}  // namespace crypto
