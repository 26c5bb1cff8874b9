#include "crypto/ct_eq.h"

#include <cstddef>
#include <cstdint>

namespace crypto {

bool ct_eq(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  std::uint8_t diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<std::uint8_t>(a[i] ^ b[i]);
  // Keep the compiler from turning the OR chain into an early-exit loop: the
  // accumulated value passes through an opaque register before it is tested.
  asm volatile("" : "+r"(diff));
  return diff == 0;
}

}  // namespace crypto
