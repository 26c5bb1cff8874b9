#include "ratchet/router_garlic.h"

#include <algorithm>
#include <string_view>

#include "ratchet/noise_steps.h"
#include "ratchet/sealed_layout.h"

namespace ratchet {
namespace {

constexpr std::string_view kProtocol = "Noise_N_25519_ChaChaPoly_SHA256";
constexpr std::size_t kKeyLen = 32;

// The state both sides hold once the responder's static key, the ephemeral key and their
// DH are mixed in; the payload is sealed under it.
Result<noise::SymmetricState> start_state(ByteView responder_static_pub, ByteView ephemeral_pub, ByteView private_key,
                                          ByteView public_key) {
  noise::SymmetricState s = start_handshake(kProtocol, responder_static_pub, ephemeral_pub);
  if (auto ok = mix_dh(s, private_key, public_key); !ok) return std::unexpected(std::move(ok.error()));
  return s;
}

}  // namespace

Result<Bytes> encrypt_router_garlic(ByteView remote_static_pub, const noise::KeyPair& ephemeral,
                                    const RatchetBlocks& blocks) {
  if (remote_static_pub.size() != kKeyLen) return fail(RatchetError::Malformed, "remote_static_pub must be 32 bytes");
  auto state = start_state(remote_static_pub, ephemeral.public_key, ephemeral.private_key, remote_static_pub);
  if (!state) return std::unexpected(std::move(state.error()));
  auto out = lay_out_blocks(kKeyLen, blocks);
  if (!out) return std::unexpected(std::move(out.error()));
  std::ranges::copy(ephemeral.public_key, out->head().begin());
  if (auto sealed = state->encrypt_and_hash_into(out->plaintext(), out->sealed()); !sealed)
    return wrap(RatchetError::Noise, std::move(sealed.error()));
  return std::move(out->buf);
}

Result<RatchetBlocks> decrypt_router_garlic(const noise::KeyPair& own_static, ByteView message) {
  if (message.size() < kRouterGarlicMinLen) return fail(RatchetError::Malformed, "Router Garlic shorter than 48 bytes");
  const ByteView ephemeral = message.first(kKeyLen);
  auto state = start_state(own_static.public_key, ephemeral, own_static.private_key, ephemeral);
  if (!state) return std::unexpected(std::move(state.error()));
  auto payload = state->decrypt_and_hash(message.subspan(kKeyLen));
  if (!payload) return fail(RatchetError::DecryptFailed);
  return decode_blocks(*payload);
}

}  // namespace ratchet
