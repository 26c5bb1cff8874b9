#pragma once
// Base64 values of SAM commands (destinations and private keys) as client libraries send
// them. Some libraries split every KEY=value token at each "=" and so hand back a key or a
// destination without its "=" padding; our destinations always end in padding. The
// padding is put back here and the strict decoder does the rest, so a value is accepted
// with or without its padding and nothing else is relaxed. Pure: no state.
#include <string>
#include <string_view>

namespace sam {

// The value with the padding its length lacks: two "=" after 4n+2 characters, one after
// 4n+3; any other value is returned unchanged (a valid one already has its padding, an
// invalid one stays invalid for the decoder).
std::string with_base64_padding(std::string_view value);

}  // namespace sam
