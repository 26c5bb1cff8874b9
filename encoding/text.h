#pragma once
// Text codecs: lower-case hex, I2P Base64, lower-case unpadded Base32 and UTF-8.
//
// The router's text type is std::string holding UTF-8. An unpaired surrogate travels
// as its own 3-byte sequence, so every byte string that decodes also re-encodes to
// the same bytes.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace encoding {

std::string hex_encode(ByteView bytes);
// TAB, LF, CR and space are skipped anywhere.
Result<Bytes> hex_decode(std::string_view text);
// Value of one hex digit (either case); code is the character's code point.
Result<std::uint8_t> hex_nibble(std::uint32_t code);

// I2P Base64: the RFC 4648 alphabet with "-" and "~" in place of "+" and "/", "=" padding.
std::string base64_encode(ByteView bytes);
Result<Bytes> base64_decode(std::string_view text);
Result<std::uint8_t> b64_decode_char(std::uint32_t code);

// RFC 4648 Base32 alphabet in lower case, without padding.
std::string base32_encode(ByteView bytes);
// Case-insensitive; TAB, LF, CR, space and "=" are skipped anywhere.
Result<Bytes> base32_decode(std::string_view text);

// UTF-8 bytes of a text (the text is already UTF-8: a copy).
Bytes string_to_utf8_bytes(std::string_view text);
// Validates UTF-8 and gives it back as text. Continuation bytes must be 10xxxxxx,
// overlong forms and code points above U+10FFFF are refused; the 3-byte forms of
// surrogates are accepted and kept.
Result<std::string> utf8_bytes_to_string(ByteView bytes);

// Decodes UTF-8 with U+FFFD in place of each invalid sequence; never fails. Used for
// command-line arguments and other text that must not be rejected.
std::string utf8_sanitize(ByteView bytes);

// Plain ASCII helpers for names, file lines and command-line values.

// The text with A-Z lowered; every other byte, UTF-8 included, unchanged.
std::string ascii_lower(std::string_view text);
// The text with a-z raised; every other byte, UTF-8 included, unchanged.
std::string ascii_upper(std::string_view text);
// The text without leading and trailing TAB, LF, CR and space.
std::string_view trim(std::string_view text);
// A port: one or more ASCII digits (no sign, no spaces, leading zeros allowed) whose value
// is at most 65535, however many digits it has; anything else is none.
std::optional<std::uint16_t> parse_port(std::string_view text);

}  // namespace encoding
