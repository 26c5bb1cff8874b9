// A destination's session manager on arbitrary garlic: no crash, and its lists stay within
// their bounds. The first input byte chooses whether the message starts with a tag the
// manager knows (a window tag of its session, or a reply tag of its NewSession), so the
// ExistingSession and NewSessionReply stages see forged ciphertext, not only the
// NewSession stage.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/sha256.h"
#include "fuzz/support/check.h"
#include "noise/key_pair.h"
#include "ratchet/session_manager.h"

namespace {

using fuzz_support::check;

constexpr std::uint32_t kNow = 1700000000;

ratchet::RandomSource counting(std::uint32_t seed) {
  auto n = std::make_shared<std::uint32_t>(0);
  return [seed, n]() -> Result<std::array<std::uint8_t, 32>> {
    const std::uint32_t in[2] = {seed, (*n)++};
    return crypto::sha256(ByteView(reinterpret_cast<const std::uint8_t*>(in), sizeof in));
  };
}

// A manager with one established session and one unanswered NewSession of its own, built
// once: B has answered A's first NewSession, and A has sent a second one to C.
const ratchet::RatchetSessionManager& prepared() {
  static const ratchet::RatchetSessionManager a = [] {
    const noise::KeyPair a_key = *noise::KeyPair::from_private(Bytes(32, 1));
    const noise::KeyPair b_key = *noise::KeyPair::from_private(Bytes(32, 2));
    auto ma = ratchet::RatchetSessionManager::create(a_key);
    auto mb = ratchet::RatchetSessionManager::create(b_key);
    auto ra = counting(1), rb = counting(2);
    auto ns = ma.encrypt_to_peer(b_key.public_key, {}, kNow, ra);
    check(ns && mb.decrypt_incoming(*ns, kNow));
    auto nsr = mb.encrypt_to_peer(a_key.public_key, {}, kNow, rb);
    check(nsr && ma.decrypt_incoming(*nsr, kNow));
    check(ma.encrypt_to_peer(Bytes(32, 9), {}, kNow, ra).has_value());
    return ma;
  }();
  return a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  ratchet::RatchetSessionManager m = prepared();
  Bytes message(data + 1, data + size);
  const std::uint8_t mode = data[0];
  if (message.size() >= 8 && mode % 3 != 0) {
    const ratchet::SessionTag tag = mode % 3 == 1 ? m.sessions[0].recv_window[mode % 64].tag
                                                  : m.outbound_pending[mode % m.outbound_pending.size()].tag;
    std::copy(tag.begin(), tag.end(), message.begin());
  }
  const auto sessions = m.sessions.size();
  auto opened = m.decrypt_incoming(message, kNow);
  // Forged input opens nothing new, and nothing leaves the window on a failed attempt.
  if (!opened) {
    check(m.sessions.size() == sessions);
    check(m.sessions[0].recv_window.size() == ratchet::kRecvWindowSize);
  }
  check(m.inbound_pending.size() <= ratchet::kMaxInboundPending);
  check(m.outbound_pending.size() <= ratchet::kMaxOutboundPending);
  return 0;
}
