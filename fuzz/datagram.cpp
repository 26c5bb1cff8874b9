// The repliable datagram decoder on arbitrary input: no crash; what decodes splits the
// input into the sender, the signature of its type's length and the payload to the end;
// verification never fails but answers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "encoding/reader.h"
#include "fuzz/support/check.h"
#include "streaming/datagram.h"

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  auto datagram = streaming::RepliableDatagram::decode(input);
  if (!datagram) return 0;
  encoding::Reader r(input);
  auto from = common::Destination::decode(r);
  check(from.has_value() && *from == datagram->from);
  check(datagram->signature.size() == datagram->from.keys_and_cert.signing_type().signature_length().value());
  check(r.pos + datagram->signature.size() + datagram->payload.size() == size);
  check(std::equal(datagram->payload.begin(), datagram->payload.end(),
                   input.end() - static_cast<std::ptrdiff_t>(datagram->payload.size())));
  (void)datagram->verify();
  return 0;
}
