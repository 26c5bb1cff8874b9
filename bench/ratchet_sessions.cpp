// Garlic sessions beside the raw cost of their cryptography, in the same run:
// - an ExistingSession sealed and opened at 1 KiB, beside the two AEAD operations and the
//   four HKDF calls (one tag-set entry on each side) made raw;
// - a NewSession and its NewSessionReply, each sealed and opened, beside their X25519 and
//   Elligator2 work (two public keys, eight DH operations, four map evaluations standing in
//   for the two decodes and the two representatives);
// - decrypt_incoming of an unknown tag with 512 sessions and 2,048 pending reply tags, the
//   worst scan a message can cost before the NewSession stage, beside std::find over the
//   same number of tags in one flat array;
// - an ExistingSession offered to four destinations of one router, for the last of them:
//   each destination trying its tags and then a NewSession in turn, beside every
//   destination's tags first and NewSessions only after them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "crypto/chacha20_poly1305.h"
#include "crypto/elligator2.h"
#include "crypto/hkdf.h"
#include "crypto/sha256.h"
#include "crypto/x25519.h"
#include "noise/key_pair.h"
#include "ratchet/bookkeeping.h"
#include "ratchet/session_manager.h"

namespace {

using ratchet::RatchetBlock;
using ratchet::RatchetBlocks;
using ratchet::RatchetSessionManager;

constexpr std::uint32_t kNow = 1700000000;

noise::KeyPair key(std::uint8_t seed) { return *noise::KeyPair::from_private(Bytes(32, seed)); }

ratchet::RandomSource counting(std::uint32_t seed) {
  auto n = std::make_shared<std::uint32_t>(0);
  return [seed, n]() -> Result<std::array<std::uint8_t, 32>> {
    const std::uint32_t in[2] = {seed, (*n)++};
    return crypto::sha256(ByteView(reinterpret_cast<const std::uint8_t*>(in), sizeof in));
  };
}

// 1 KiB of payload: one Padding block of 1021 bytes.
RatchetBlocks one_kib() { return {RatchetBlock::Padding{Bytes(1021, 0x5a)}}; }

struct Pair {
  noise::KeyPair a_key = key(1), b_key = key(2);
  RatchetSessionManager a = RatchetSessionManager::create(a_key);
  RatchetSessionManager b = RatchetSessionManager::create(b_key);
  ratchet::RandomSource ra = counting(1), rb = counting(2);

  bool handshake() {
    auto ns = a.encrypt_to_peer(b_key.public_key, {}, kNow, ra);
    if (!ns || !b.decrypt_incoming(*ns, kNow)) return false;
    auto nsr = b.encrypt_to_peer(a_key.public_key, {}, kNow, rb);
    return nsr && a.decrypt_incoming(*nsr, kNow);
  }

  // Counts the messages A is about to send; under the per-session send limit a new pair
  // takes over, and the time of its handshake is not counted.
  void renew_before(std::uint32_t& sent, std::uint32_t more, benchmark::State& state) {
    if ((sent += more) < 50000) return;
    state.PauseTiming();
    *this = Pair{};
    if (!handshake()) state.SkipWithError("handshake failed");
    sent = 0;
    state.ResumeTiming();
  }
};

void BM_ExistingSessionSealOpen1KiB(benchmark::State& state) {
  Pair p;
  if (!p.handshake()) state.SkipWithError("handshake failed");
  const RatchetBlocks blocks = one_kib();
  std::uint32_t sent = 0;
  for (auto _ : state) {
    p.renew_before(sent, 1, state);
    auto es = p.a.encrypt_to_peer(p.b_key.public_key, blocks, kNow, p.ra);
    auto opened = p.b.decrypt_incoming(*es, kNow);
    if (!opened) state.SkipWithError("open failed");
    benchmark::DoNotOptimize(opened);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExistingSessionSealOpen1KiB)->Unit(benchmark::kMicrosecond);

// The reference: what one message costs in cryptography alone. Each side takes one tag-set
// entry (two HKDF calls of 64 bytes) and runs the AEAD once.
void BM_TaggedGarlicForTheLastOfFourDestinations(benchmark::State& state) {
  using clock_type = std::chrono::steady_clock;
  Pair p;
  if (!p.handshake()) state.SkipWithError("handshake failed");
  std::vector<RatchetSessionManager> others;
  for (std::uint8_t k = 3; k < 6; ++k) others.push_back(RatchetSessionManager::create(key(k)));
  const RatchetBlocks blocks = one_kib();
  double in_turn_s = 0, tags_first_s = 0;
  std::uint32_t sent = 0;
  for (auto _ : state) {
    p.renew_before(sent, 2, state);
    auto first = p.a.encrypt_to_peer(p.b_key.public_key, blocks, kNow, p.ra);
    auto second = p.a.encrypt_to_peer(p.b_key.public_key, blocks, kNow, p.ra);
    if (!first || !second) state.SkipWithError("seal failed");

    // In turn: each of the others fails its tags and a NewSession attempt first.
    const auto t0 = clock_type::now();
    bool opened = false;
    for (RatchetSessionManager& m : others) opened = opened || m.decrypt_incoming(*first, kNow).has_value();
    opened = opened || p.b.decrypt_incoming(*first, kNow).has_value();
    const auto t1 = clock_type::now();
    // Tags first: the others' lookups, then the destination's own.
    bool opened_by_tag = false;
    for (RatchetSessionManager& m : others) {
      auto tagged = m.decrypt_tagged(*second, kNow);
      opened_by_tag = opened_by_tag || (tagged && *tagged);
    }
    auto tagged = p.b.decrypt_tagged(*second, kNow);
    opened_by_tag = opened_by_tag || (tagged && *tagged);
    const auto t2 = clock_type::now();
    if (!opened || !opened_by_tag) state.SkipWithError("open failed");
    in_turn_s += std::chrono::duration<double>(t1 - t0).count();
    tags_first_s += std::chrono::duration<double>(t2 - t1).count();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["in_turn_us"] = in_turn_s / n * 1e6;
  state.counters["tags_first_us"] = tags_first_s / n * 1e6;
  state.counters["speedup"] = in_turn_s / tags_first_s;
}
BENCHMARK(BM_TaggedGarlicForTheLastOfFourDestinations)->Unit(benchmark::kMicrosecond);

void BM_ExistingSessionRawParts1KiB(benchmark::State& state) {
  const Bytes chain(32, 3), constant(32, 4), nonce(12, 0), tag(8, 5), payload(1024, 0x5a);
  const Bytes tag_info = to_bytes("SessionTagKeyGen"), key_info = to_bytes("SymmetricRatchet");
  for (auto _ : state) {
    auto t1 = crypto::hkdf(chain, constant, tag_info, 64);
    auto k1 = crypto::hkdf(chain, {}, key_info, 64);
    auto ct = crypto::aead_chacha20_poly1305_encrypt(ByteView(*k1).subspan(32), nonce, tag, payload);
    auto t2 = crypto::hkdf(chain, constant, tag_info, 64);
    auto k2 = crypto::hkdf(chain, {}, key_info, 64);
    auto pt = crypto::aead_chacha20_poly1305_decrypt(ByteView(*k1).subspan(32), nonce, tag, *ct);
    benchmark::DoNotOptimize(t1);
    benchmark::DoNotOptimize(t2);
    benchmark::DoNotOptimize(k2);
    benchmark::DoNotOptimize(pt);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExistingSessionRawParts1KiB)->Unit(benchmark::kMicrosecond);

// Ephemeral keys that have a representative at the first attempt, so both benchmarks below
// do the same number of public-key operations.
ratchet::RandomSource first_try_source() {
  auto draws = std::make_shared<std::vector<std::array<std::uint8_t, 32>>>();
  auto any = counting(9);
  while (draws->size() < 2 * 4096) {
    const auto priv = *any(), extra = *any();
    std::size_t calls = 0;
    auto one = [&]() -> Result<std::array<std::uint8_t, 32>> {
      if (calls++ >= 2) return fail(NetError::Io, "one attempt only");
      return calls == 1 ? priv : extra;
    };
    if (ratchet::generate_elligator_keypair(one)) {
      draws->push_back(priv);
      draws->push_back(extra);
    }
  }
  auto next = std::make_shared<std::size_t>(0);
  return [draws, next]() -> Result<std::array<std::uint8_t, 32>> {
    const auto v = (*draws)[*next];
    *next = (*next + 1) % draws->size();
    return v;
  };
}

void BM_NewSessionAndReplyRoundTrip(benchmark::State& state) {
  const noise::KeyPair a_key = key(1), b_key = key(2);
  const ratchet::RandomSource random = first_try_source();
  for (auto _ : state) {
    RatchetSessionManager a = RatchetSessionManager::create(a_key);
    RatchetSessionManager b = RatchetSessionManager::create(b_key);
    auto ns = a.encrypt_to_peer(b_key.public_key, {}, kNow, random);
    auto at_b = b.decrypt_incoming(*ns, kNow);
    auto nsr = b.encrypt_to_peer(a_key.public_key, {}, kNow, random);
    auto at_a = a.decrypt_incoming(*nsr, kNow);
    if (!at_b || !at_a) state.SkipWithError("handshake failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NewSessionAndReplyRoundTrip)->Unit(benchmark::kMicrosecond);

// Two public keys, eight DH operations and four map evaluations: the public-key work of a
// handshake, made raw.
void public_key_work(const noise::KeyPair& a, const noise::KeyPair& b, const noise::KeyPair& ea,
                     const noise::KeyPair& eb) {
  benchmark::DoNotOptimize(crypto::x25519_public_key(ea.private_key));
  benchmark::DoNotOptimize(crypto::x25519_public_key(eb.private_key));
  for (const auto* pair : {&a, &b, &ea, &eb}) {
    benchmark::DoNotOptimize(crypto::x25519(pair->private_key, b.public_key));
    benchmark::DoNotOptimize(crypto::x25519(pair->private_key, a.public_key));
  }
  for (const auto* pair : {&a, &b, &ea, &eb}) benchmark::DoNotOptimize(crypto::elligator2_decode(pair->public_key));
}

void BM_NewSessionAndReplyRawParts(benchmark::State& state) {
  const noise::KeyPair a = key(1), b = key(2), ea = key(3), eb = key(4);
  for (auto _ : state) {
    public_key_work(a, b, ea, eb);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NewSessionAndReplyRawParts)->Unit(benchmark::kMicrosecond);

// The same public-key work plus the HKDF calls a handshake cannot avoid: each side's new
// session fills its 64-entry receive window (two HKDF calls per entry), and the NewSession
// takes six reply tags on one side and one on the other.
void BM_NewSessionAndReplyRawPartsAndWindows(benchmark::State& state) {
  const noise::KeyPair a = key(1), b = key(2), ea = key(3), eb = key(4);
  const Bytes chain(32, 3), constant(32, 4);
  const Bytes tag_info = to_bytes("SessionTagKeyGen"), key_info = to_bytes("SymmetricRatchet");
  for (auto _ : state) {
    public_key_work(a, b, ea, eb);
    for (int entry = 0; entry < 2 * 64 + 7; ++entry) {
      benchmark::DoNotOptimize(crypto::hkdf(chain, constant, tag_info, 64));
      benchmark::DoNotOptimize(crypto::hkdf(chain, {}, key_info, 64));
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NewSessionAndReplyRawPartsAndWindows)->Unit(benchmark::kMicrosecond);

void BM_DecryptUnknownTagFullLists(benchmark::State& state) {
  RatchetSessionManager m = RatchetSessionManager::create(key(1));
  auto random = counting(3);
  for (std::uint32_t i = 0; i < 512; ++i) {
    auto init = ratchet::dh_initialize(*random(), *random());
    ratchet::Key32 peer{};
    peer[0] = static_cast<std::uint8_t>(i);
    peer[1] = static_cast<std::uint8_t>(i >> 8);
    m.sessions.push_back(*ratchet::bookkeeping::new_session(peer, init->next_root_key, init->tag_set,
                                                            init->next_root_key, init->tag_set, kNow));
  }
  std::array<ratchet::SessionTag, ratchet::kReplyTagsPerNewSession> tags{};
  for (std::uint32_t i = 0; i < 342; ++i) {
    auto rec = std::make_shared<ratchet::PendingNewSession>();
    rec->peer_key[0] = static_cast<std::uint8_t>(i);
    rec->peer_key[1] = static_cast<std::uint8_t>(i >> 8);
    for (auto& t : tags) {
      const auto r = *random();
      std::copy_n(r.begin(), t.size(), t.begin());
    }
    ratchet::bookkeeping::add_outbound_pending(m, tags, rec, kNow);
  }
  if (m.outbound_pending.size() != 2048) state.SkipWithError("pending list not full");
  // Too short for a NewSession, so the scan is all there is.
  const Bytes message(80, 0xee);
  for (auto _ : state) {
    auto r = m.decrypt_incoming(message, kNow);
    if (r) state.SkipWithError("unknown tag opened");
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecryptUnknownTagFullLists)->Unit(benchmark::kMicrosecond);

// The reference: the same number of tags (512 windows of 64, then 2,048) as 8-byte words in
// one flat array, searched with std::find for a word that is not there.
void BM_UnknownTagFlatFind(benchmark::State& state) {
  auto random = counting(4);
  std::vector<std::uint64_t> words(512 * ratchet::kRecvWindowSize + ratchet::kMaxOutboundPending);
  for (auto& w : words) {
    const auto r = *random();
    std::memcpy(&w, r.data(), sizeof w);
  }
  const std::uint64_t absent = 0xeeeeeeeeeeeeeeeeULL;
  for (auto _ : state) {
    benchmark::DoNotOptimize(words.data());
    auto it = std::find(words.begin(), words.end(), absent);
    if (it != words.end()) state.SkipWithError("found");
    benchmark::DoNotOptimize(it);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UnknownTagFlatFind)->Unit(benchmark::kMicrosecond);

}  // namespace
