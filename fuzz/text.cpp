// Every text decoder and the byte reader on arbitrary input: no crash, no read outside the
// input, and whatever decodes re-encodes to a form that decodes to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "encoding/reader.h"
#include "encoding/text.h"
#include "fuzz/support/check.h"

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteView bytes(data, size);
  std::string_view text(reinterpret_cast<const char*>(data), size);

  if (auto b = encoding::hex_decode(text)) check(encoding::hex_decode(encoding::hex_encode(*b)).value() == *b);
  if (auto b = encoding::base64_decode(text)) check(encoding::base64_decode(encoding::base64_encode(*b)).value() == *b);
  if (auto b = encoding::base32_decode(text)) check(encoding::base32_decode(encoding::base32_encode(*b)).value() == *b);
  if (auto s = encoding::utf8_bytes_to_string(bytes)) {
    check(encoding::string_to_utf8_bytes(*s) == Bytes(bytes.begin(), bytes.end()));
    check(encoding::utf8_sanitize(bytes) == *s);
  }
  check(encoding::utf8_bytes_to_string(as_bytes(encoding::utf8_sanitize(bytes))).has_value());

  // Walk the input with every reader operation, chosen by the input itself.
  encoding::Reader r(bytes);
  while (r.remaining() > 0) {
    std::size_t before = r.pos;
    auto op = r.read_u8().value();
    bool ok = true;
    switch (op % 8) {
      case 0: ok = r.read_u16_be().has_value(); break;
      case 1: ok = r.read_u32_be().has_value(); break;
      case 2: ok = r.read_u64_be().has_value(); break;
      case 3: ok = r.read_bytes(op / 8).has_value(); break;
      case 4: ok = r.skip(op / 8).has_value(); break;
      case 5: ok = r.read_i2p_string().has_value(); break;
      case 6:
        ok = r.read_bytes(-1).has_value();
        check(!ok);
        break;
      default: r.read_remaining(); break;
    }
    check(r.pos <= bytes.size() && r.pos > before);
    if (!ok && op % 8 != 5) break;
  }
  return 0;
}
