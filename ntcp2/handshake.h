#pragma once
// The NTCP2 handshake over byte strings: Noise XK over X25519, ChaCha20-Poly1305 and
// SHA-256 ("Noise_XKaesobfse+hs2+hs3_25519_ChaChaPoly_SHA256", empty prologue), with both
// ephemeral keys AES-256-CBC encrypted under the responder's router hash. This record
// knows nothing of sockets; the dial and accept records drive it message by message.
//
//   SessionRequest   (80 bytes here)  AES(X) | enc(SessionRequestOptions) | padding
//   SessionCreated   (80 bytes here)  AES(Y) | enc(SessionCreatedOptions) | padding
//   SessionConfirmed                  enc(initiator static key) | enc(blocks)
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "noise/key_pair.h"
#include "noise/symmetric_state.h"
#include "ntcp2/block.h"
#include "ntcp2/options.h"

namespace ntcp2 {

inline constexpr std::string_view kProtocolName = "Noise_XKaesobfse+hs2+hs3_25519_ChaChaPoly_SHA256";

using Key32 = std::array<std::uint8_t, 32>;
using Iv16 = std::array<std::uint8_t, 16>;

struct Ntcp2DataSession;

// What the initiator learns from the first 64 bytes of SessionCreated.
struct SessionCreatedHead {
  std::uint16_t pad_len = 0;
  std::uint32_t timestamp = 0;  // the responder's clock, unix seconds
};

// How far a handshake has come. Each message moves it one step on; the numbers are the
// count of messages done and appear in the state errors.
enum class HandshakeStep : std::uint8_t { Start = 0, RequestDone = 1, CreatedDone = 2, ConfirmedDone = 3 };

struct Ntcp2Handshake {
  noise::SymmetricState state;
  bool is_initiator = false;
  noise::KeyPair local_static;
  std::optional<noise::KeyPair> local_ephemeral;  // fresh per connection, set by the caller
  std::optional<Key32> remote_static;
  std::optional<Key32> remote_ephemeral;
  Key32 aes_key{};     // the responder's router hash
  Iv16 aes_iv{};       // the responder's published IV, for X
  Iv16 aes_next_iv{};  // last ciphertext block of X, for Y
  // The length of SessionConfirmed part 2: announced by the initiator in SessionRequest,
  // recorded by the responder when it reads it.
  std::int32_t m3p2_len = 0;
  HandshakeStep step = HandshakeStep::Start;

  // Initiator side. remote_static 32, responder_hash 32, published_iv 16 bytes, else
  // Ntcp2Error::Malformed.
  static Result<Ntcp2Handshake> new_initiator(const noise::KeyPair& local_static, ByteView remote_static,
                                              ByteView responder_hash, ByteView published_iv);
  // Responder side: our own router hash and published IV.
  static Result<Ntcp2Handshake> new_responder(const noise::KeyPair& local_static, ByteView local_router_hash,
                                              ByteView published_iv);

  // Initiator, step 0 -> 1. m3_blocks_len is the encoded size of the SessionConfirmed
  // blocks, announced as m3p2_len = m3_blocks_len + 16.
  Result<Bytes> write_session_request(ByteView padding, std::size_t m3_blocks_len, std::uint64_t now_ms);
  // The same with every option field given as it is (write_session_request fills them
  // from its arguments; tests forge unusual ones with this).
  Result<Bytes> write_session_request_with(const SessionRequestOptions& options, ByteView padding);
  // Initiator, step 1: the first 64 bytes of SessionCreated.
  Result<SessionCreatedHead> read_session_created_head(ByteView head);
  // Initiator, step 1 -> 2: the SessionCreated padding.
  Result<void> finish_read_session_created(ByteView padding);
  // Initiator, step 2 -> 3.
  Result<Bytes> write_session_confirmed(const std::vector<Ntcp2Block>& blocks);

  // Responder, step 0: the first 64 bytes of SessionRequest; records the announced
  // m3p2_len. Checks of the options' contents (network, version, clock, replay) are the
  // caller's.
  Result<SessionRequestOptions> read_session_request_head(ByteView head);
  // Responder, step 0 -> 1: the SessionRequest padding.
  Result<void> finish_read_session_request(ByteView padding);
  // Responder, step 1 -> 2.
  Result<Bytes> write_session_created(ByteView padding, std::uint64_t now_ms);
  // Responder, step 2 -> 3: the whole SessionConfirmed; gives the decrypted block bytes.
  Result<Bytes> read_session_confirmed(ByteView msg3);

  // The two directions' keys and length masks of a finished handshake (step 3).
  Result<Ntcp2DataSession> into_data_session() const;
};

}  // namespace ntcp2
