// The blocks of a decrypted NTCP2 frame, as a peer sends them after the handshake: no
// crash on any input, and a block list that decodes encodes back to the bytes it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ntcp2/block.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView input(data, size);
  auto blocks = ntcp2::decode_blocks(input);
  if (!blocks) return 0;
  auto encoded = ntcp2::encode_blocks(*blocks);
  if (!encoded || *encoded != Bytes(input.begin(), input.end())) std::abort();
  auto again = ntcp2::decode_blocks(*encoded);
  if (!again || *again != *blocks) std::abort();
  return 0;
}
