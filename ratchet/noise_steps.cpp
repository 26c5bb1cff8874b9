#include "ratchet/noise_steps.h"

#include "crypto/x25519.h"

namespace ratchet {

Result<void> mix_dh(noise::SymmetricState& s, ByteView private_key, ByteView public_key) {
  auto dh = crypto::x25519(private_key, public_key);
  if (!dh) return wrap(RatchetError::Crypto, std::move(dh.error()));
  s.mix_key(*dh);
  return {};
}

noise::SymmetricState start_handshake(std::string_view protocol, ByteView responder_static, ByteView ephemeral_pub) {
  noise::SymmetricState s = noise::SymmetricState::initialize(as_bytes(protocol));
  s.mix_hash({});
  s.mix_hash(responder_static);
  s.mix_hash(ephemeral_pub);
  return s;
}

}  // namespace ratchet
