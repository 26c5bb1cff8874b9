// The receiving half of RatchetSessionManager. The cheap stages come first: session tags,
// then the reply tags of own NewSessions; only a message that matches neither costs an
// Elligator2 decode and two X25519 operations as a NewSession.
#include <algorithm>
#include <array>

#include "crypto/chacha20_poly1305.h"
#include "crypto/elligator2.h"
#include "ratchet/bookkeeping.h"
#include "ratchet/noise_steps.h"
#include "ratchet/session_manager.h"

namespace ratchet {
namespace {

using bookkeeping::same_key;

constexpr std::size_t kTagLen = 8;
constexpr std::size_t kMinExisting = 24;
constexpr std::size_t kMinReply = 72;
constexpr std::size_t kMinNewSession = 96;

template <std::size_t N>
std::array<std::uint8_t, N> to_array(ByteView v) {
  std::array<std::uint8_t, N> a;
  std::copy_n(v.begin(), N, a.begin());
  return a;
}

struct WindowHit {
  std::size_t session;
  std::size_t entry;
};

// Each tag is compared as one word, a single XOR of all eight bytes. A session's window is
// first checked whole without a branch; only a hit is then located. For x = t ^ want, the
// top bit of ~(x | -x) is set exactly when x is 0: plain 64-bit arithmetic that the loop
// runs two words at a time in SSE2, where a comparison per word would not vectorise.
std::optional<WindowHit> find_in_windows(const std::vector<RatchetPeerSession>& sessions, const SessionTag& tag) {
  const std::uint64_t want = tag_word(tag);
  for (std::size_t i = sessions.size(); i-- > 0;) {
    const auto& tags = sessions[i].recv_window_tags;
    std::uint64_t zero_seen = 0;
    for (const std::uint64_t t : tags) {
      const std::uint64_t x = t ^ want;
      zero_seen |= ~(x | (0 - x));
    }
    if ((zero_seen >> 63) == 0) continue;
    for (std::size_t j = 0; j < tags.size(); ++j) {
      if ((tags[j] ^ want) == 0) return WindowHit{i, j};
    }
  }
  return std::nullopt;
}

Result<IncomingGarlic> open_existing(RatchetSessionManager& m, WindowHit hit, ByteView message, std::uint32_t now) {
  RatchetPeerSession& s = m.sessions[hit.session];
  const TagSetEntry entry = s.recv_window[hit.entry];
  // A failure leaves the entry in place, so the genuine message still opens later.
  auto payload = crypto::aead_chacha20_poly1305_decrypt(entry.key, make_ecies_nonce(entry.index), entry.tag,
                                                        message.subspan(kTagLen));
  if (!payload) return fail(RatchetError::DecryptFailed);
  if (auto ok = s.consume_window_entry(hit.entry); !ok) return std::unexpected(std::move(ok.error()));

  auto blocks = decode_blocks(*payload);
  if (!blocks) return std::unexpected(std::move(blocks.error()));
  // NextKey blocks change nothing: no DH ratchet step is taken, and the peer keeps
  // sending on its current tag set.
  s.send_enabled = true;
  s.confirmed = true;
  if (now != 0) {
    s.last_activity = now;
    s.last_recv = now;
  }
  const Key32 peer = s.peer_key;
  if (hit.session + 1 != m.sessions.size()) {
    auto it = m.sessions.begin() + static_cast<std::ptrdiff_t>(hit.session);
    std::rotate(it, it + 1, m.sessions.end());
  }
  return IncomingGarlic{peer, std::move(*blocks)};
}

// One attempt to open a message as the reply to the own NewSession behind rec.
Result<IncomingGarlic> try_reply(RatchetSessionManager& m, const PendingNewSession& rec, ByteView message,
                                 std::uint32_t now) {
  if (message.size() < kMinReply) return fail(RatchetError::Malformed, "NewSessionReply shorter than 72 bytes");
  auto ephemeral = crypto::elligator2_decode(message.subspan(kTagLen, 32));
  if (!ephemeral) return wrap(RatchetError::Crypto, std::move(ephemeral.error()));

  noise::SymmetricState state = noise::SymmetricState::from_parts(rec.chaining_key, rec.handshake_hash);
  state.mix_hash(message.first(kTagLen));
  state.mix_hash(*ephemeral);
  if (auto ok = mix_dh(state, rec.local_ephemeral_private, *ephemeral); !ok) return std::unexpected(ok.error());
  if (auto ok = mix_dh(state, m.static_keypair.private_key, *ephemeral); !ok) return std::unexpected(ok.error());
  if (!state.decrypt_and_hash(message.subspan(40, 16))) return fail(RatchetError::DecryptFailed);

  auto keys = split_keys(state.ck);
  if (!keys) return std::unexpected(std::move(keys.error()));
  auto payload =
      crypto::aead_chacha20_poly1305_decrypt(keys->reply_payload_key, kZeroNonce, state.h, message.subspan(56));
  if (!payload) return fail(RatchetError::DecryptFailed);
  auto blocks = decode_blocks(*payload);
  if (!blocks) return std::unexpected(std::move(blocks.error()));

  auto session =
      bookkeeping::new_session(rec.peer_key, keys->root_ab, keys->tag_set_ab, keys->root_ba, keys->tag_set_ba, now);
  if (!session) return std::unexpected(std::move(session.error()));
  // A second reply to one NewSession does not take over sending from a session that
  // already carries ExistingSession messages -- unless that one is near its last send: its
  // successor is what this handshake was made for.
  session->send_enabled = std::ranges::none_of(m.sessions, [&](const RatchetPeerSession& s) {
    return same_key(s.peer_key, rec.peer_key) && s.send_enabled && s.es_sent && !is_send_retiring(s);
  });
  bookkeeping::add_session(m, std::move(*session));
  return IncomingGarlic{rec.peer_key, std::move(*blocks)};
}

// The first DateTime block must lie within [now - 300, now + 120].
bool fresh(const RatchetBlocks& blocks, std::uint32_t now) {
  auto dt = std::ranges::find_if(blocks, [](const RatchetBlock& b) { return b.is<RatchetBlock::DateTime>(); });
  if (dt == blocks.end()) return false;
  const std::int64_t seconds = dt->get_if<RatchetBlock::DateTime>()->seconds;
  return seconds >= std::int64_t{now} - kNewSessionMaxAgeSec && seconds <= std::int64_t{now} + kNewSessionMaxAheadSec;
}

Result<IncomingGarlic> open_new_session(RatchetSessionManager& m, ByteView message, std::uint32_t now) {
  if (message.size() < kMinNewSession) return fail(RatchetError::Malformed, "NewSession shorter than 96 bytes");
  auto decoded = crypto::elligator2_decode(message.first(32));
  if (!decoded) return wrap(RatchetError::Crypto, std::move(decoded.error()));
  const Key32 ephemeral = *decoded;
  // A copy seen on the way (a tunnel hop) must not open twice; checked before any X25519.
  if (now != 0 && bookkeeping::new_session_seen(m, ephemeral, now))
    return fail(RatchetError::Malformed, "NewSession replayed");

  noise::SymmetricState state = start_handshake(kSessionProtocol, m.static_keypair.public_key, ephemeral);
  if (auto ok = mix_dh(state, m.static_keypair.private_key, ephemeral); !ok) return std::unexpected(ok.error());
  auto static_key = state.decrypt_and_hash(message.subspan(32, 48));
  if (!static_key) return fail(RatchetError::DecryptFailed);
  const bool bound = std::ranges::any_of(*static_key, [](std::uint8_t b) { return b != 0; });
  if (bound) {
    if (auto ok = mix_dh(state, m.static_keypair.private_key, *static_key); !ok) return std::unexpected(ok.error());
  }
  auto payload = state.decrypt_and_hash(message.subspan(80));
  if (!payload) return fail(RatchetError::DecryptFailed);
  auto blocks = decode_blocks(*payload);
  if (!blocks) return std::unexpected(std::move(blocks.error()));
  if (now != 0 && !fresh(*blocks, now)) return fail(RatchetError::Malformed, "NewSession DateTime out of range");

  if (!bound) {
    if (now != 0) bookkeeping::remember_new_session(m, ephemeral, now);
    return IncomingGarlic{std::nullopt, std::move(*blocks)};
  }
  auto tag_set = reply_tag_set(state.ck);
  if (!tag_set) return std::unexpected(std::move(tag_set.error()));
  const Key32 peer = to_array<32>(*static_key);
  bookkeeping::add_inbound_pending(m, PendingNewSession{state.ck, state.h, {}, ephemeral, peer, *tag_set});
  if (now != 0) bookkeeping::remember_new_session(m, ephemeral, now);
  return IncomingGarlic{peer, std::move(*blocks)};
}

}  // namespace

std::optional<Result<IncomingGarlic>> RatchetSessionManager::decrypt_tagged(ByteView message, std::uint32_t now) {
  if (message.size() < kMinExisting) return std::nullopt;
  const SessionTag tag = to_array<kTagLen>(message);

  if (auto hit = find_in_windows(sessions, tag)) return open_existing(*this, *hit, message, now);

  const std::uint64_t want = tag_word(tag);
  for (std::size_t i = 0; i < outbound_pending.size(); ++i) {
    // One XOR of the whole tag, no early exit (the same test as bookkeeping::same_tag, kept
    // inline: this loop covers up to 2,048 tags per message).
    if ((tag_word(outbound_pending[i].tag) ^ want) != 0) continue;
    // Held by value: the entry is removed below once the reply opened.
    const std::shared_ptr<const PendingNewSession> rec = outbound_pending[i].pending;
    auto opened = try_reply(*this, *rec, message, now);
    if (!opened) continue;  // not this one; the scan goes on
    // A reply opens once: the same copy again must not add a session with the same keys.
    remove_outbound_pending(i);
    return opened;
  }
  return std::nullopt;
}

Result<IncomingGarlic> RatchetSessionManager::decrypt_new_session(ByteView message, std::uint32_t now) {
  return open_new_session(*this, message, now);
}

Result<IncomingGarlic> RatchetSessionManager::decrypt_incoming(ByteView message, std::uint32_t now) {
  if (message.size() < kMinExisting) return fail(RatchetError::Malformed, "NewSession shorter than 96 bytes");
  if (auto tagged = decrypt_tagged(message, now)) return std::move(*tagged);
  return decrypt_new_session(message, now);
}

}  // namespace ratchet
