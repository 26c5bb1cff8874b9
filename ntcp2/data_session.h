#pragma once
// The data phase of an NTCP2 link: one cipher state and one SipHash length mask per
// direction, split from the finished handshake (Ntcp2Handshake::into_data_session).
// Frames from initiator to responder always use the first key and the "ab" mask,
// whichever side computes them.
#include <array>
#include <cstdint>

#include "noise/cipher_state.h"
#include "noise/siphash_length_mask.h"
#include "ntcp2/handshake.h"

namespace ntcp2 {

struct Ntcp2DataSession {
  noise::CipherState send_cipher;
  noise::CipherState recv_cipher;
  noise::SipHashLengthMask send_mask;
  noise::SipHashLengthMask recv_mask;
  Key32 handshake_hash{};  // the handshake's final h
  Key32 remote_static{};   // the peer's NTCP2 static X25519 key
};

}  // namespace ntcp2
