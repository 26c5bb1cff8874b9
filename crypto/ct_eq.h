#pragma once
// Equality of secrets (MAC tags, keys) in time that depends only on the lengths.
#include "encoding/bytes.h"

namespace crypto {

// True when a and b have the same length and the same bytes. Strings of different
// lengths are unequal at once; otherwise every byte pair is looked at, without early
// exit, so the time taken does not reveal where the first difference is.
bool ct_eq(ByteView a, ByteView b);

}  // namespace crypto
