// The garlic block decoder and the clove message decoder on arbitrary input: no crash, no
// read past a block (each block is decoded again alone from a heap copy of exactly its
// size, where the address sanitizer catches any byte read beyond it), and whatever decodes
// encodes to a payload that decodes to the same blocks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "encoding/reader.h"
#include "fuzz/support/check.h"
#include "ratchet/block.h"
#include "ratchet/clove.h"

namespace {

using fuzz_support::check;

// A heap copy of exactly the viewed bytes, so an over-read leaves the allocation.
struct ExactCopy {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t size;
  explicit ExactCopy(ByteView v) : bytes(new std::uint8_t[v.size()]), size(v.size()) {
    for (std::size_t i = 0; i < v.size(); ++i) bytes[i] = v[i];
  }
  ByteView view() const { return ByteView(bytes.get(), size); }
};

void check_clove_message(ByteView message) {
  const ExactCopy alone(message);
  (void)ratchet::decode_garlic_clove_i2np(alone.view());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  auto blocks = ratchet::decode_blocks(input);
  if (!blocks) return 0;

  // Walk the headers and decode each block alone from its own allocation.
  encoding::Reader r(input);
  for (const ratchet::RatchetBlock& whole : *blocks) {
    const std::size_t start = r.pos;
    (void)r.read_u8();
    const std::size_t len = r.read_u16_be().value();
    check(r.skip(static_cast<std::int64_t>(len)).has_value());
    const ExactCopy alone(input.subspan(start, 3 + len));
    auto single = ratchet::decode_blocks(alone.view());
    check(single.has_value() && single->size() == 1 && (*single)[0] == whole);
    if (const auto* clove = whole.get_if<ratchet::RatchetBlock::GarlicClove>()) check_clove_message(clove->message);
  }
  check(r.remaining() == 0);

  auto encoded = ratchet::encode_blocks(*blocks);
  check(encoded.has_value());
  auto again = ratchet::decode_blocks(*encoded);
  check(again.has_value() && *again == *blocks);
  return 0;
}
