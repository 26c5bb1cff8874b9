// The option records a peer sends inside SessionRequest and SessionCreated, and the first
// 64 bytes of a SessionRequest as a responder reads them: no crash on any input, and every
// decoded record encodes back to its fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/support/check.h"
#include "noise/key_pair.h"
#include "ntcp2/handshake.h"
#include "ntcp2/options.h"

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  if (auto request = ntcp2::SessionRequestOptions::decode(input)) {
    check(size >= 16);
    auto again = ntcp2::SessionRequestOptions::decode(request->encode());
    check(again && *again == *request);
  }
  if (auto created = ntcp2::SessionCreatedOptions::decode(input)) {
    check(size >= 16);
    auto again = ntcp2::SessionCreatedOptions::decode(created->encode());
    check(again && *again == *created);
  }

  // A responder with fixed keys reading the input as the head of a SessionRequest.
  static const noise::KeyPair kStatic = *noise::KeyPair::from_private(Bytes(32, 0x30));
  static const Bytes kHash(32, 0x44), kIv(16, 0x55);
  auto responder = ntcp2::Ntcp2Handshake::new_responder(kStatic, kHash, kIv);
  check(responder.has_value());
  if (auto options = responder->read_session_request_head(input)) {
    check(size == 64);
    check(responder->m3p2_len == options->m3p2_len);
  }
  return 0;
}
