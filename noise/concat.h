#pragma once
// Byte-string concatenation for the key schedules. The tunnel and NTCP2 packages
// use this same function under their own names rather than keeping copies.
#include "encoding/bytes.h"

namespace noise {

// A new byte string a || b.
Bytes concat_bytes(ByteView a, ByteView b);

}  // namespace noise
