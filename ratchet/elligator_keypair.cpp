#include "ratchet/elligator_keypair.h"

#include <optional>

#include "crypto/field.h"
#include "crypto/x25519.h"

namespace ratchet {
namespace {

constexpr std::uint8_t kTopBitsMask = 0xc0;

// True when the little-endian number a is greater than b, compared from the top byte down.
bool greater_le(const std::array<std::uint8_t, 32>& a, const std::array<std::uint8_t, 32>& b) {
  for (std::size_t i = a.size(); i-- > 0;) {
    if (a[i] != b[i]) return a[i] > b[i];
  }
  return false;
}

// A representative r of u, with r^2 = -u / (2 (u + A)) when choose_second, else
// r^2 = -(u + A) / (2 u); both map back to u. None when u has no representative.
std::optional<std::array<std::uint8_t, 32>> representative_of(const std::array<std::uint8_t, 32>& public_key,
                                                              bool choose_second) {
  using namespace crypto;
  const Gf u = gf_unpack(public_key);
  if (gf_is_zero(u)) {
    if (choose_second) return std::nullopt;
    return std::array<std::uint8_t, 32>{};
  }
  const Gf u_plus_a = gf_add(u, gf_from_u64(486662));
  if (gf_is_zero(u_plus_a)) return std::nullopt;
  const Gf num = choose_second ? u : u_plus_a;
  const Gf den = choose_second ? u_plus_a : u;
  const Gf r2 = gf_mul(gf_sub(Gf{}, num), gf_inv(gf_add(den, den)));
  const std::optional<Gf> r = gf_sqrt_opt(r2);
  if (!r) return std::nullopt;
  std::array<std::uint8_t, 32> rep = gf_pack(*r);
  // Of r and -r, the one at most (p - 1) / 2, which leaves the top two bits free.
  if (greater_le(rep, half_p_le)) rep = gf_pack(gf_sub(Gf{}, *r));
  return rep;
}

}  // namespace

Result<ElligatorKeyPair> generate_elligator_keypair(const RandomSource& random) {
  for (int attempt = 0; attempt < kElligatorAttempts; ++attempt) {
    auto private_key = random();
    if (!private_key) return std::unexpected(std::move(private_key.error()));
    auto public_key = crypto::x25519_public_key(*private_key);
    if (!public_key) return wrap(RatchetError::Crypto, std::move(public_key.error()));
    auto extra = random();
    if (!extra) return std::unexpected(std::move(extra.error()));
    const std::uint8_t top = (*extra)[0] & kTopBitsMask;
    const bool choose_second = ((*extra)[1] & 0x01) != 0;

    auto rep = representative_of(*public_key, choose_second);
    if (!rep) continue;
    (*rep)[31] |= top;
    return ElligatorKeyPair{*private_key, *public_key, *rep};
  }
  return fail(RatchetError::ElligatorSamplingFailed,
              msg("failed to sample Elligator2-encodable keypair after ", kElligatorAttempts, " attempts"));
}

}  // namespace ratchet
