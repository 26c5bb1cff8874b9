#include "ntcp2/handshake.h"

#include <algorithm>

#include "crypto/aes.h"
#include "crypto/x25519.h"

namespace ntcp2 {
namespace {

template <std::size_t N>
std::array<std::uint8_t, N> to_array(ByteView v) {
  std::array<std::uint8_t, N> out{};
  std::copy_n(v.begin(), N, out.begin());
  return out;
}

Error state_error(std::string_view text) { return Error(Ntcp2Error::HandshakeState, std::string(text)); }

// The Noise state shared by both sides before the first message: the protocol name, the
// empty prologue and the responder's static key.
noise::SymmetricState initial_state(ByteView responder_static) {
  noise::SymmetricState s = noise::SymmetricState::initialize(as_bytes(kProtocolName));
  s.mix_hash({});
  s.mix_hash(responder_static);
  return s;
}

// mix_key(X25519(private_key, public_key)).
Result<void> mix_dh(noise::SymmetricState& s, ByteView private_key, ByteView public_key) {
  auto shared = crypto::x25519(private_key, public_key);
  if (!shared) return wrap(Ntcp2Error::Crypto, std::move(shared.error()));
  s.mix_key(*shared);
  return {};
}

Result<Bytes> encrypt_and_hash(noise::SymmetricState& s, ByteView plaintext) {
  auto ct = s.encrypt_and_hash(plaintext);
  if (!ct) return wrap(Ntcp2Error::Noise, std::move(ct.error()));
  return std::move(*ct);
}

Result<Bytes> decrypt_and_hash(noise::SymmetricState& s, ByteView ciphertext) {
  auto pt = s.decrypt_and_hash(ciphertext);
  if (!pt) return wrap(Ntcp2Error::Noise, std::move(pt.error()));
  return std::move(*pt);
}

Result<Bytes> aes_encrypt(const Key32& key, const Iv16& iv, ByteView data) {
  auto out = crypto::aes256_cbc_encrypt(key, iv, data);
  if (!out) return wrap(Ntcp2Error::Crypto, std::move(out.error()));
  return Bytes(out->begin(), out->end());
}

Result<Bytes> aes_decrypt(const Key32& key, const Iv16& iv, ByteView data) {
  auto out = crypto::aes256_cbc_decrypt(key, iv, data);
  if (!out) return wrap(Ntcp2Error::Crypto, std::move(out.error()));
  return Bytes(out->begin(), out->end());
}

void append(Bytes& out, ByteView more) { out.insert(out.end(), more.begin(), more.end()); }

}  // namespace

Result<Ntcp2Handshake> Ntcp2Handshake::new_initiator(const noise::KeyPair& local_static, ByteView remote_static,
                                                     ByteView responder_hash, ByteView published_iv) {
  if (remote_static.size() != 32) return fail(Ntcp2Error::Malformed, "remote_static must be 32 bytes");
  if (responder_hash.size() != 32) return fail(Ntcp2Error::Malformed, "responder_hash must be 32 bytes");
  if (published_iv.size() != 16) return fail(Ntcp2Error::Malformed, "published_iv must be 16 bytes");
  return Ntcp2Handshake{
      .state = initial_state(remote_static),
      .is_initiator = true,
      .local_static = local_static,
      .local_ephemeral = std::nullopt,
      .remote_static = to_array<32>(remote_static),
      .remote_ephemeral = std::nullopt,
      .aes_key = to_array<32>(responder_hash),
      .aes_iv = to_array<16>(published_iv),
      .aes_next_iv = {},
      .m3p2_len = 0,
      .step = HandshakeStep::Start,
  };
}

Result<Ntcp2Handshake> Ntcp2Handshake::new_responder(const noise::KeyPair& local_static, ByteView local_router_hash,
                                                     ByteView published_iv) {
  if (local_router_hash.size() != 32) return fail(Ntcp2Error::Malformed, "local_router_hash must be 32 bytes");
  if (published_iv.size() != 16) return fail(Ntcp2Error::Malformed, "published_iv must be 16 bytes");
  return Ntcp2Handshake{
      .state = initial_state(local_static.public_key),
      .is_initiator = false,
      .local_static = local_static,
      .local_ephemeral = std::nullopt,
      .remote_static = std::nullopt,
      .remote_ephemeral = std::nullopt,
      .aes_key = to_array<32>(local_router_hash),
      .aes_iv = to_array<16>(published_iv),
      .aes_next_iv = {},
      .m3p2_len = 0,
      .step = HandshakeStep::Start,
  };
}

// ---- initiator ----

Result<Bytes> Ntcp2Handshake::write_session_request(ByteView padding, std::size_t m3_blocks_len, std::uint64_t now_ms) {
  // Both lengths travel in 16-bit fields; refuse rather than announce a wrapped value.
  if (m3_blocks_len + 16 > 65535)
    return fail(Ntcp2Error::Malformed, msg("SessionConfirmed part 2 exceeds 65535 bytes: ", m3_blocks_len + 16));
  if (padding.size() > 65535)
    return fail(Ntcp2Error::Malformed, msg("SessionRequest padding exceeds 65535 bytes: ", padding.size()));
  SessionRequestOptions options;
  options.network_id = kNetworkId;
  options.version = kVersion;
  options.pad_len = static_cast<std::uint16_t>(padding.size());
  options.m3p2_len = static_cast<std::uint16_t>(m3_blocks_len + 16);
  options.timestamp = static_cast<std::uint32_t>(now_ms / 1000);
  return write_session_request_with(options, padding);
}

Result<Bytes> Ntcp2Handshake::write_session_request_with(const SessionRequestOptions& options, ByteView padding) {
  if (!is_initiator || step != HandshakeStep::Start)
    return std::unexpected(state_error("write_session_request only valid for initiator at step 0"));
  if (!local_ephemeral) return std::unexpected(state_error("initiator ephemeral key not set"));
  if (!remote_static) return std::unexpected(state_error("remote static key missing"));

  const ByteView x = local_ephemeral->public_key;
  state.mix_hash(x);
  if (auto r = mix_dh(state, local_ephemeral->private_key, *remote_static); !r) return std::unexpected(r.error());
  auto ct = encrypt_and_hash(state, options.encode());
  if (!ct) return std::unexpected(ct.error());
  if (!padding.empty()) state.mix_hash(padding);

  auto xenc = aes_encrypt(aes_key, aes_iv, x);
  if (!xenc) return std::unexpected(xenc.error());
  aes_next_iv = to_array<16>(ByteView(*xenc).subspan(16, 16));
  step = HandshakeStep::RequestDone;
  m3p2_len = options.m3p2_len;

  Bytes out = std::move(*xenc);
  append(out, *ct);
  append(out, padding);
  return out;
}

Result<SessionCreatedHead> Ntcp2Handshake::read_session_created_head(ByteView head) {
  if (!is_initiator || step != HandshakeStep::RequestDone)
    return std::unexpected(state_error("read_session_created_head only valid for initiator at step 1"));
  if (head.size() != 64)
    return fail(Ntcp2Error::Malformed, msg("SessionCreated head must be 64 bytes, got ", head.size()));

  auto y = aes_decrypt(aes_key, aes_next_iv, head.subspan(0, 32));
  if (!y) return std::unexpected(y.error());
  remote_ephemeral = to_array<32>(*y);
  state.mix_hash(*y);

  if (!local_ephemeral) return std::unexpected(state_error("initiator ephemeral key missing"));
  if (auto r = mix_dh(state, local_ephemeral->private_key, *y); !r) return std::unexpected(r.error());

  auto pt = decrypt_and_hash(state, head.subspan(32, 32));
  if (!pt) return std::unexpected(pt.error());
  if (pt->size() != 16)
    return fail(Ntcp2Error::Malformed, msg("SessionCreated options must be 16 bytes, got ", pt->size()));
  auto options = SessionCreatedOptions::decode(*pt);
  if (!options) return std::unexpected(options.error());
  return SessionCreatedHead{options->pad_len, options->timestamp};
}

Result<void> Ntcp2Handshake::finish_read_session_created(ByteView padding) {
  if (!is_initiator || step != HandshakeStep::RequestDone)
    return std::unexpected(state_error("finish_read_session_created only valid for initiator at step 1"));
  if (!padding.empty()) state.mix_hash(padding);
  step = HandshakeStep::CreatedDone;
  return {};
}

Result<Bytes> Ntcp2Handshake::write_session_confirmed(const std::vector<Ntcp2Block>& blocks) {
  if (!is_initiator || step != HandshakeStep::CreatedDone)
    return std::unexpected(state_error("write_session_confirmed only valid for initiator at step 2"));
  if (!remote_ephemeral) return std::unexpected(state_error("remote ephemeral key missing"));

  auto payload = encode_blocks(blocks);
  if (!payload) return std::unexpected(payload.error());
  if (payload->size() + 16 != static_cast<std::size_t>(m3p2_len))
    return fail(Ntcp2Error::Malformed, msg("SessionConfirmed part 2 ciphertext len ", payload->size() + 16,
                                           " != advertised m3p2_len ", m3p2_len));

  auto part1 = encrypt_and_hash(state, local_static.public_key);
  if (!part1) return std::unexpected(part1.error());
  if (auto r = mix_dh(state, local_static.private_key, *remote_ephemeral); !r) return std::unexpected(r.error());
  auto part2 = encrypt_and_hash(state, *payload);
  if (!part2) return std::unexpected(part2.error());
  step = HandshakeStep::ConfirmedDone;

  Bytes out = std::move(*part1);
  append(out, *part2);
  return out;
}

// ---- responder ----

Result<SessionRequestOptions> Ntcp2Handshake::read_session_request_head(ByteView head) {
  if (is_initiator || step != HandshakeStep::Start)
    return std::unexpected(state_error("read_session_request_head only valid for responder at step 0"));
  if (head.size() != 64)
    return fail(Ntcp2Error::Malformed, msg("SessionRequest head must be 64 bytes, got ", head.size()));

  auto x = aes_decrypt(aes_key, aes_iv, head.subspan(0, 32));
  if (!x) return std::unexpected(x.error());
  remote_ephemeral = to_array<32>(*x);
  aes_next_iv = to_array<16>(head.subspan(16, 16));
  state.mix_hash(*x);

  if (auto r = mix_dh(state, local_static.private_key, *x); !r) return std::unexpected(r.error());

  auto pt = decrypt_and_hash(state, head.subspan(32, 32));
  if (!pt) return std::unexpected(pt.error());
  if (pt->size() != 16)
    return fail(Ntcp2Error::Malformed, msg("SessionRequest options must be 16 bytes, got ", pt->size()));
  auto options = SessionRequestOptions::decode(*pt);
  if (options) m3p2_len = options->m3p2_len;
  return options;
}

Result<void> Ntcp2Handshake::finish_read_session_request(ByteView padding) {
  if (is_initiator || step != HandshakeStep::Start)
    return std::unexpected(state_error("finish_read_session_request only valid for responder at step 0"));
  if (!padding.empty()) state.mix_hash(padding);
  step = HandshakeStep::RequestDone;
  return {};
}

Result<Bytes> Ntcp2Handshake::write_session_created(ByteView padding, std::uint64_t now_ms) {
  if (is_initiator || step != HandshakeStep::RequestDone)
    return std::unexpected(state_error("write_session_created only valid for responder at step 1"));
  if (!local_ephemeral) return std::unexpected(state_error("responder ephemeral key not set"));
  if (!remote_ephemeral) return std::unexpected(state_error("remote ephemeral key missing"));
  if (padding.size() > 65535)
    return fail(Ntcp2Error::Malformed, msg("SessionCreated padding exceeds 65535 bytes: ", padding.size()));

  const ByteView y = local_ephemeral->public_key;
  state.mix_hash(y);
  if (auto r = mix_dh(state, local_ephemeral->private_key, *remote_ephemeral); !r) return std::unexpected(r.error());

  SessionCreatedOptions options;
  options.pad_len = static_cast<std::uint16_t>(padding.size());
  options.timestamp = static_cast<std::uint32_t>(now_ms / 1000);
  auto ct = encrypt_and_hash(state, options.encode());
  if (!ct) return std::unexpected(ct.error());
  if (!padding.empty()) state.mix_hash(padding);

  auto yenc = aes_encrypt(aes_key, aes_next_iv, y);
  if (!yenc) return std::unexpected(yenc.error());
  step = HandshakeStep::CreatedDone;

  Bytes out = std::move(*yenc);
  append(out, *ct);
  append(out, padding);
  return out;
}

Result<Bytes> Ntcp2Handshake::read_session_confirmed(ByteView msg3) {
  if (is_initiator || step != HandshakeStep::CreatedDone)
    return std::unexpected(state_error("read_session_confirmed only valid for responder at step 2"));
  const std::size_t expected = static_cast<std::size_t>(m3p2_len) + 48;
  if (msg3.size() != expected)
    return fail(Ntcp2Error::Malformed,
                msg("SessionConfirmed length mismatch: expected ", expected, ", got ", msg3.size()));

  auto s = decrypt_and_hash(state, msg3.subspan(0, 48));
  if (!s) return std::unexpected(s.error());
  remote_static = to_array<32>(*s);

  if (!local_ephemeral) return std::unexpected(state_error("responder ephemeral key missing"));
  if (auto r = mix_dh(state, local_ephemeral->private_key, *s); !r) return std::unexpected(r.error());

  auto payload = decrypt_and_hash(state, msg3.subspan(48));
  if (!payload) return std::unexpected(payload.error());
  step = HandshakeStep::ConfirmedDone;
  return payload;
}

}  // namespace ntcp2
