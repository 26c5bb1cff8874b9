#pragma once
// Noise steps that the garlic senders and receivers share.
#include <array>
#include <cstdint>
#include <string_view>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "noise/symmetric_state.h"

namespace ratchet {

inline constexpr std::array<std::uint8_t, 12> kZeroNonce{};

// mix_key of X25519(private_key, public_key); an X25519 failure is RatchetError::Crypto.
Result<void> mix_dh(noise::SymmetricState& s, ByteView private_key, ByteView public_key);

// The state of a one-way pattern (N, or the first message of IK) once the empty prologue,
// the responder's static key and the initiator's ephemeral key are hashed in.
noise::SymmetricState start_handshake(std::string_view protocol, ByteView responder_static, ByteView ephemeral_pub);

// The session handshake: IK with Elligator2-encoded ephemeral keys.
inline constexpr std::string_view kSessionProtocol = "Noise_IKelg2+hs2_25519_ChaChaPoly_SHA256";

}  // namespace ratchet
