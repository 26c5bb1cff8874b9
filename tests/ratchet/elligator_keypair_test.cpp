// The sampler of Elligator2-encodable ephemeral keys: what it draws, when it gives up, and
// that every representative maps back to its public key through the decoder.
#include "ratchet/elligator_keypair.h"

#include <gtest/gtest.h>

#include "crypto/elligator2.h"
#include "crypto/field.h"
#include "crypto/x25519.h"
#include "tests/ratchet/test_util.h"

namespace ratchet {
namespace {

#include "tests/ratchet/ratchet_kat_vectors.inc"

using test::fails_with;
using test::hex;

using Value = std::array<std::uint8_t, 32>;

Value value(const Bytes& b) {
  Value v;
  std::copy(b.begin(), b.end(), v.begin());
  return v;
}

Value extra(std::uint8_t byte0, std::uint8_t byte1) {
  Value v{};
  v[0] = byte0;
  v[1] = byte1;
  return v;
}

TEST(ElligatorKeypair, GivesUpAfter128AttemptsOf2Draws) {
  // Every private key drawn has a public key without a representative.
  int calls = 0;
  const Value bad = value(hex(kNonEncodablePrivate));
  auto result = generate_elligator_keypair([&]() -> Result<Value> {
    ++calls;
    return calls % 2 == 1 ? bad : extra(0xc0, static_cast<std::uint8_t>(calls / 2));
  });
  EXPECT_TRUE(fails_with(result, RatchetError::ElligatorSamplingFailed,
                         "failed to sample Elligator2-encodable keypair after 128 attempts"));
  EXPECT_EQ(calls, 256);
}

TEST(ElligatorKeypair, ASourceFailureEndsAtOnce) {
  for (int failing_call : {1, 2, 4}) {
    int calls = 0;
    const Value bad = value(hex(kNonEncodablePrivate));
    auto result = generate_elligator_keypair([&]() -> Result<Value> {
      if (++calls == failing_call) return fail(NetError::Io, "failed to read random bytes: test");
      return calls % 2 == 1 ? bad : extra(0, 0);
    });
    ASSERT_FALSE(result) << failing_call;
    EXPECT_TRUE(result.error().is(NetError::Io)) << failing_call;
    EXPECT_EQ(result.error().message(), "failed to read random bytes: test");
    EXPECT_EQ(calls, failing_call);
  }
}

TEST(ElligatorKeypair, SkipsKeysWithoutARepresentative) {
  // bad key, its extra draw, then a good key with its extra draw.
  test::ScriptedRandom s{
      {value(hex(kNonEncodablePrivate)), extra(0, 0), value(hex(kEncodablePrivate)), extra(0x40, 1)}};
  auto kp = generate_elligator_keypair(s.source());
  ASSERT_TRUE(kp);
  EXPECT_EQ(s.taken, 4u);
  EXPECT_EQ(kp->private_key, value(hex(kEncodablePrivate)));
  EXPECT_EQ(kp->public_key, crypto::x25519_public_key(kp->private_key).value());
  EXPECT_EQ(kp->representative[31] & 0xc0, 0x40);
}

// Whatever the choice bit and the top bits, the representative maps back to the key; the
// two choices send different representatives of one key.
TEST(ElligatorKeypair, EveryRepresentativeDecodesToItsPublicKey) {
  auto keys = test::counting_random(7);
  int sampled = 0;
  for (int i = 0; i < 40; ++i) {
    const Value priv = *keys();
    Value reps[2];
    bool found = true;
    for (int choice : {0, 1}) {
      const std::uint8_t top = static_cast<std::uint8_t>((i % 4) << 6);
      test::ScriptedRandom s{{priv, extra(top, static_cast<std::uint8_t>(choice))}};
      auto kp = generate_elligator_keypair(s.source());
      if (!kp) {
        // Only a key without a representative fails, and then for both choices.
        EXPECT_TRUE(kp.error().is(NetError::Io));
        EXPECT_TRUE(choice == 0 || !found) << i;
        found = false;
        continue;
      }
      EXPECT_TRUE(found) << i;
      EXPECT_EQ(kp->representative[31] & 0xc0, top);
      EXPECT_EQ(crypto::elligator2_decode(kp->representative).value(), kp->public_key) << i;
      // Without its top bits the representative is at most (p - 1) / 2.
      Value canonical = kp->representative;
      canonical[31] &= 0x3f;
      EXPECT_TRUE(std::lexicographical_compare(canonical.rbegin(), canonical.rend(), crypto::half_p_le.rbegin(),
                                               crypto::half_p_le.rend()) ||
                  canonical == crypto::half_p_le);
      reps[choice] = kp->representative;
    }
    if (!found) continue;
    ++sampled;
    EXPECT_NE(reps[0], reps[1]) << i;
  }
  // About half of all keys have a representative.
  EXPECT_GT(sampled, 5);
}

}  // namespace
}  // namespace ratchet
