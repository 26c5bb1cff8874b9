// The sending half of RatchetSessionManager: ExistingSession, NewSessionReply, NewSession.
#include <algorithm>
#include <array>

#include "crypto/chacha20_poly1305.h"
#include "ratchet/bookkeeping.h"
#include "ratchet/noise_steps.h"
#include "ratchet/sealed_layout.h"
#include "ratchet/session_manager.h"

namespace ratchet {
namespace {

using bookkeeping::same_key;

constexpr std::size_t kTagLen = 8;
constexpr std::size_t kKeyLen = 32;
constexpr std::size_t kExistingHead = kTagLen;                            // tag
constexpr std::size_t kReplyHead = kTagLen + kKeyLen + kAeadTagLen;       // tag, representative, key-section MAC
constexpr std::size_t kNewSessionHead = kKeyLen + kKeyLen + kAeadTagLen;  // representative, encrypted static key

Result<void> seal_aead(SealedLayout& out, const Key32& key, const EciesNonce& nonce, ByteView ad) {
  if (auto ok = crypto::aead_chacha20_poly1305_encrypt_into(key, nonce, ad, out.plaintext(), out.sealed()); !ok)
    return wrap(RatchetError::Crypto, std::move(ok.error()));
  return {};
}

Result<void> seal_noise(noise::SymmetricState& s, ByteView plaintext, std::span<std::uint8_t> out) {
  if (auto ok = s.encrypt_and_hash_into(plaintext, out); !ok) return wrap(RatchetError::Noise, std::move(ok.error()));
  return {};
}

Result<Bytes> send_existing(RatchetPeerSession& s, const RatchetBlocks& blocks, std::uint32_t now) {
  s.last_activity = now;
  s.es_sent = true;
  if (s.last_recv == 0) s.confirmed = true;
  auto entry = s.send_tag_set.next_entry();
  if (!entry) return std::unexpected(std::move(entry.error()));
  auto out = lay_out_blocks(kExistingHead, blocks);
  if (!out) return std::unexpected(std::move(out.error()));
  std::ranges::copy(entry->tag, out->head().begin());
  if (auto ok = seal_aead(*out, entry->key, make_ecies_nonce(entry->index), entry->tag); !ok)
    return std::unexpected(std::move(ok.error()));
  return std::move(out->buf);
}

Result<Bytes> send_reply(RatchetSessionManager& m, PendingNewSession rec, const RatchetBlocks& blocks,
                         std::uint32_t now, const RandomSource& random) {
  auto e = generate_elligator_keypair(random);
  if (!e) return std::unexpected(std::move(e.error()));
  auto entry = rec.reply_tag_set.next_entry();
  if (!entry) return std::unexpected(std::move(entry.error()));

  noise::SymmetricState state = noise::SymmetricState::from_parts(rec.chaining_key, rec.handshake_hash);
  state.mix_hash(entry->tag);
  state.mix_hash(e->public_key);
  if (auto ok = mix_dh(state, e->private_key, rec.remote_key); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = mix_dh(state, e->private_key, rec.peer_key); !ok) return std::unexpected(std::move(ok.error()));

  auto out = lay_out_blocks(kReplyHead, blocks);
  if (!out) return std::unexpected(std::move(out.error()));
  const auto head = out->head();
  std::ranges::copy(entry->tag, head.begin());
  std::ranges::copy(e->representative, head.begin() + kTagLen);
  if (auto ok = seal_noise(state, {}, head.subspan(kTagLen + kKeyLen)); !ok)
    return std::unexpected(std::move(ok.error()));

  auto keys = split_keys(state.ck);
  if (!keys) return std::unexpected(std::move(keys.error()));
  if (auto ok = seal_aead(*out, keys->reply_payload_key, kZeroNonce, state.h); !ok)
    return std::unexpected(std::move(ok.error()));

  auto session =
      bookkeeping::new_session(rec.peer_key, keys->root_ba, keys->tag_set_ba, keys->root_ab, keys->tag_set_ab, now);
  if (!session) return std::unexpected(std::move(session.error()));
  session->send_enabled = true;
  session->confirmed = true;
  bookkeeping::add_session(m, std::move(*session));
  return std::move(out->buf);
}

Result<Bytes> send_new_session(RatchetSessionManager& m, ByteView peer_key, const RatchetBlocks& blocks,
                               std::uint32_t now, const RandomSource& random) {
  // Every NewSession carries a DateTime block: the caller's own, or one of now in front.
  const bool has_datetime =
      std::ranges::any_of(blocks, [](const RatchetBlock& b) { return b.is<RatchetBlock::DateTime>(); });
  const RatchetBlock datetime = RatchetBlock::DateTime{now};
  const std::span<const RatchetBlock> leading =
      has_datetime ? std::span<const RatchetBlock>{} : std::span<const RatchetBlock>(&datetime, 1);

  auto e = generate_elligator_keypair(random);
  if (!e) return std::unexpected(std::move(e.error()));
  if (peer_key.size() != kKeyLen) return fail(RatchetError::Malformed, "responder_static_pub must be 32 bytes");

  noise::SymmetricState state = start_handshake(kSessionProtocol, peer_key, e->public_key);
  if (auto ok = mix_dh(state, e->private_key, peer_key); !ok) return std::unexpected(std::move(ok.error()));

  auto out = lay_out_blocks(kNewSessionHead, blocks, leading);
  if (!out) return std::unexpected(std::move(out.error()));
  const auto head = out->head();
  std::ranges::copy(e->representative, head.begin());
  if (auto ok = seal_noise(state, m.static_keypair.public_key, head.subspan(kKeyLen)); !ok)
    return std::unexpected(std::move(ok.error()));
  if (auto ok = mix_dh(state, m.static_keypair.private_key, peer_key); !ok)
    return std::unexpected(std::move(ok.error()));
  if (auto ok = seal_noise(state, out->plaintext(), out->sealed()); !ok) return std::unexpected(std::move(ok.error()));

  auto tag_set = reply_tag_set(state.ck);
  if (!tag_set) return std::unexpected(std::move(tag_set.error()));
  std::array<SessionTag, kReplyTagsPerNewSession> tags;
  for (SessionTag& tag : tags) {
    auto entry = tag_set->next_entry();
    if (!entry) return std::unexpected(std::move(entry.error()));
    tag = entry->tag;
  }
  Key32 peer;
  std::ranges::copy(peer_key, peer.begin());
  auto pending = std::make_shared<const PendingNewSession>(
      PendingNewSession{state.ck, state.h, Bytes(e->private_key.begin(), e->private_key.end()), peer, peer, *tag_set});
  bookkeeping::add_outbound_pending(m, tags, pending, now);
  return std::move(out->buf);
}

}  // namespace

Result<Bytes> RatchetSessionManager::encrypt_to_peer(ByteView peer_key, const RatchetBlocks& blocks, std::uint32_t now,
                                                     const RandomSource& random) {
  bookkeeping::sweep_sessions(*this, peer_key, now);

  // An unanswered NewSession from the peer is answered first. The peer sent it because it
  // has no session to send on, and it sends every message as a NewSession until a reply
  // comes; an ExistingSession on an older session would leave it so. The older sessions
  // keep their receive windows.
  auto waiting =
      std::ranges::find_if(inbound_pending, [&](const PendingNewSession& p) { return same_key(p.peer_key, peer_key); });
  if (waiting != inbound_pending.end()) {
    // Gone from the list whatever happens next: a reply is sent for it at most once.
    PendingNewSession rec = std::move(*waiting);
    inbound_pending.erase(waiting);
    return send_reply(*this, std::move(rec), blocks, now, random);
  }

  // The last send-enabled session with the peer is the one most recently received on or
  // made; one near its last send only when there is no other. One out of sends is passed
  // over even when a message on it made it send-enabled again.
  const auto usable = [&](const RatchetPeerSession& s) {
    return s.send_enabled && !is_send_exhausted(s) && same_key(s.peer_key, peer_key);
  };
  auto session = std::ranges::find_if(sessions.rbegin(), sessions.rend(),
                                      [&](const RatchetPeerSession& s) { return usable(s) && !is_send_retiring(s); });
  if (session == sessions.rend()) session = std::ranges::find_if(sessions.rbegin(), sessions.rend(), usable);
  if (session != sessions.rend()) {
    if (!is_renewal_due(*session)) return send_existing(*session, blocks, now);
    // Near its last send, the session's successor is set up while it still carries the
    // traffic: now and then a message leaves as a NewSession, until a reply to one makes
    // the new session. One handshake at a time is in flight, so its reply is recognised
    // however many messages pass meanwhile; were the handshake left until the last send,
    // every message after it would be a NewSession, and a reply would name one whose reply
    // tags were dropped long ago.
    auto renewal = send_new_session(*this, peer_key, blocks, now, random);
    if (renewal) session->renewal_sent_at = session->send_tag_set.next_index;
    return renewal;
  }
  return send_new_session(*this, peer_key, blocks, now, random);
}

}  // namespace ratchet
