// The decoders of the I2P structures and I2NP messages on arbitrary input: no crash, and a
// structure that decodes re-encodes to bytes that decode and re-encode to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/destination.h"
#include "common/lease_set2.h"
#include "common/router_info.h"
#include "common/su3.h"
#include "fuzz/support/check.h"
#include "i2np/message.h"

namespace {

using fuzz_support::check;

template <typename T>
void round_trip(ByteView input) {
  encoding::Reader r(input);
  auto decoded = T::decode(r);
  if (!decoded) return;
  auto first = decoded->to_bytes();
  if (!first) return;
  encoding::Reader again(*first);
  auto redecoded = T::decode(again);
  check(redecoded.has_value());
  check(redecoded->to_bytes().value() == *first);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  ByteView input(data + 1, size - 1);
  switch (data[0] % 6) {
    case 0: round_trip<common::RouterInfo>(input); break;
    case 1: round_trip<common::LeaseSet2>(input); break;
    case 2: {
      encoding::Reader r(input);
      if (auto d = common::Destination::decode(r)) {
        Bytes first = d->keys_and_cert.to_bytes();
        encoding::Reader again(first);
        auto redecoded = common::Destination::decode(again);
        check(redecoded.has_value() && redecoded->keys_and_cert.to_bytes() == first);
        check(common::Destination::from_base64(d->to_base64()).has_value());
      }
      break;
    }
    case 3: {
      encoding::Reader r(input);
      if (auto m = i2np::decode_standard_message(r)) {
        auto bytes = i2np::encode_standard_message(m->first.msg_id, m->first.expiration, m->second);
        if (bytes) {
          encoding::Reader again(*bytes);
          check(i2np::decode_standard_message(again).has_value());
        }
      }
      break;
    }
    case 4: {
      encoding::Reader r(input);
      if (auto m = i2np::decode_short_message(r)) {
        auto bytes = i2np::encode_short_message(m->first.msg_id, m->first.expiration, m->second);
        if (bytes) {
          encoding::Reader again(*bytes);
          check(i2np::decode_short_message(again).has_value());
        }
      }
      break;
    }
    default: (void)common::parse_reseed_su3(input); break;
  }
  return 0;
}
