#include "encoding/text.h"

#include <array>

namespace encoding {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kB64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-~";
constexpr char kB32Alphabet[] = "abcdefghijklmnopqrstuvwxyz234567";

constexpr bool is_skipped_space(std::uint32_t c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// Reads one character (code point) of UTF-8 text at i, advancing i. Text given to the
// decoders is not required to be valid UTF-8: a byte that does not start a well-formed
// sequence is returned as its own value so that errors can name it.
std::uint32_t next_code_point(std::string_view text, std::size_t& i) {
  auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(text[k]); };
  std::uint8_t lead = b(i);
  std::size_t extra = lead >= 0xF0 && lead < 0xF8   ? 3
                      : lead >= 0xE0 && lead < 0xF0 ? 2
                      : lead >= 0xC0 && lead < 0xE0 ? 1
                                                    : 0;
  if (extra == 0 || i + extra >= text.size()) {
    ++i;
    return lead;
  }
  std::uint32_t cp = lead & (0x3F >> extra);
  for (std::size_t k = 1; k <= extra; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) {
      ++i;
      return lead;
    }
    cp = cp << 6 | (b(i + k) & 0x3F);
  }
  i += extra + 1;
  return cp;
}

// Characters of a text with TAB, LF, CR and space left out.
std::u32string collect_without_spaces(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t c = next_code_point(text, i);
    if (!is_skipped_space(c)) out.push_back(c);
  }
  return out;
}

}  // namespace

std::string hex_encode(ByteView bytes) {
  std::string out(bytes.size() * 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kHexDigits[bytes[i] >> 4];
    out[2 * i + 1] = kHexDigits[bytes[i] & 0x0F];
  }
  return out;
}

Result<std::uint8_t> hex_nibble(std::uint32_t c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return fail(EncodingError::InvalidData, msg("invalid hex character code: ", c));
}

Result<Bytes> hex_decode(std::string_view text) {
  std::u32string chars = collect_without_spaces(text);
  if (chars.size() % 2 != 0) return fail(EncodingError::BadLength, msg("hex string has odd length: ", chars.size()));
  Bytes out;
  out.reserve(chars.size() / 2);
  for (std::size_t i = 0; i < chars.size(); i += 2) {
    auto hi = hex_nibble(chars[i]);
    if (!hi) return std::unexpected(std::move(hi.error()));
    auto lo = hex_nibble(chars[i + 1]);
    if (!lo) return std::unexpected(std::move(lo.error()));
    out.push_back(static_cast<std::uint8_t>(*hi << 4 | *lo));
  }
  return out;
}

std::string base64_encode(ByteView bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v =
        static_cast<std::uint32_t>(bytes[i]) << 16 | static_cast<std::uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
    out.push_back(kB64Alphabet[v >> 18]);
    out.push_back(kB64Alphabet[(v >> 12) & 63]);
    out.push_back(kB64Alphabet[(v >> 6) & 63]);
    out.push_back(kB64Alphabet[v & 63]);
  }
  std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    std::uint32_t v = static_cast<std::uint32_t>(bytes[i]) << 16;
    out.push_back(kB64Alphabet[v >> 18]);
    out.push_back(kB64Alphabet[(v >> 12) & 63]);
    out.append("==");
  } else if (rest == 2) {
    std::uint32_t v = static_cast<std::uint32_t>(bytes[i]) << 16 | static_cast<std::uint32_t>(bytes[i + 1]) << 8;
    out.push_back(kB64Alphabet[v >> 18]);
    out.push_back(kB64Alphabet[(v >> 12) & 63]);
    out.push_back(kB64Alphabet[(v >> 6) & 63]);
    out.push_back('=');
  }
  return out;
}

Result<std::uint8_t> b64_decode_char(std::uint32_t c) {
  if (c >= 'A' && c <= 'Z') return static_cast<std::uint8_t>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<std::uint8_t>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0' + 52);
  if (c == '-') return static_cast<std::uint8_t>(62);
  if (c == '~') return static_cast<std::uint8_t>(63);
  return fail(EncodingError::InvalidData, msg("invalid I2P Base64 character code: ", c));
}

Result<Bytes> base64_decode(std::string_view text) {
  std::u32string chars = collect_without_spaces(text);
  if (chars.empty()) return Bytes{};
  if (chars.size() % 4 != 0) {
    return fail(EncodingError::BadLength, msg("I2P Base64 length must be a multiple of 4, got ", chars.size()));
  }
  Bytes out;
  out.reserve(chars.size() / 4 * 3);
  for (std::size_t i = 0; i < chars.size(); i += 4) {
    const bool last = i + 4 == chars.size();
    auto d0 = b64_decode_char(chars[i]);
    if (!d0) return std::unexpected(std::move(d0.error()));
    auto d1 = b64_decode_char(chars[i + 1]);
    if (!d1) return std::unexpected(std::move(d1.error()));
    const char32_t c2 = chars[i + 2];
    const char32_t c3 = chars[i + 3];
    out.push_back(static_cast<std::uint8_t>(*d0 << 2 | *d1 >> 4));
    if (c2 == U'=') {
      if (c3 != U'=') return fail(EncodingError::InvalidData, "invalid Base64 padding");
      if (!last) return fail(EncodingError::InvalidData, "Base64 padding before end of input");
      break;
    }
    if (c3 == U'=' && !last) return fail(EncodingError::InvalidData, "Base64 padding before end of input");
    auto d2 = b64_decode_char(c2);
    if (!d2) return std::unexpected(std::move(d2.error()));
    out.push_back(static_cast<std::uint8_t>(*d1 << 4 | *d2 >> 2));
    if (c3 == U'=') break;
    auto d3 = b64_decode_char(c3);
    if (!d3) return std::unexpected(std::move(d3.error()));
    out.push_back(static_cast<std::uint8_t>(*d2 << 6 | *d3));
  }
  return out;
}

std::string base32_encode(ByteView bytes) {
  std::string out;
  out.reserve((bytes.size() * 8 + 4) / 5);
  std::uint32_t acc = 0;
  int bits = 0;
  for (std::uint8_t b : bytes) {
    acc = (acc << 8) | b;
    bits += 8;
    while (bits >= 5) {
      bits -= 5;
      out.push_back(kB32Alphabet[(acc >> bits) & 31]);
    }
    acc &= (1u << bits) - 1;
  }
  if (bits > 0) out.push_back(kB32Alphabet[(acc << (5 - bits)) & 31]);
  return out;
}

Result<Bytes> base32_decode(std::string_view text) {
  Bytes out;
  out.reserve(text.size() * 5 / 8);
  std::uint32_t acc = 0;
  int bits = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t c = next_code_point(text, i);
    if (is_skipped_space(c) || c == '=') continue;
    std::uint32_t v;
    if (c >= 'a' && c <= 'z')
      v = c - 'a';
    else if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= '2' && c <= '7')
      v = c - '2' + 26;
    else
      return fail(EncodingError::InvalidData, msg("invalid Base32 character code: ", c));
    acc = (acc << 5) | v;
    bits += 5;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>(acc >> bits));
      acc &= (1u << bits) - 1;
    }
  }
  return out;
}

Bytes string_to_utf8_bytes(std::string_view text) { return to_bytes(text); }

namespace {

// Length of the well-formed UTF-8 sequence at i, or an error naming what is wrong.
Result<std::size_t> utf8_sequence(ByteView bytes, std::size_t i) {
  const std::uint8_t lead = bytes[i];
  if (lead < 0x80) return std::size_t{1};
  std::size_t extra;
  std::uint32_t cp;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    cp = lead & 0x07;
  } else {
    return fail(EncodingError::InvalidData, msg("invalid UTF-8 lead byte: ", lead));
  }
  if (bytes.size() - i - 1 < extra) {
    return fail(EncodingError::InvalidData, msg("truncated ", extra + 1, "-byte UTF-8 sequence"));
  }
  for (std::size_t k = 1; k <= extra; ++k) {
    const std::uint8_t c = bytes[i + k];
    if ((c & 0xC0) != 0x80) {
      return fail(EncodingError::InvalidData, msg("invalid UTF-8 continuation byte: ", c));
    }
    cp = cp << 6 | (c & 0x3F);
  }
  static constexpr std::array<std::uint32_t, 4> kMinimum = {0, 0x80, 0x800, 0x10000};
  if (cp < kMinimum[extra]) {
    return fail(EncodingError::InvalidData, msg("overlong ", extra + 1, "-byte UTF-8 sequence"));
  }
  if (cp > 0x10FFFF) return fail(EncodingError::InvalidData, msg("UTF-8 code point above U+10FFFF: ", cp));
  return extra + 1;
}

}  // namespace

Result<std::string> utf8_bytes_to_string(ByteView bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    auto n = utf8_sequence(bytes, i);
    if (!n) return std::unexpected(std::move(n.error()));
    i += *n;
  }
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string utf8_sanitize(ByteView bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    auto n = utf8_sequence(bytes, i);
    if (n) {
      out.append(reinterpret_cast<const char*>(bytes.data() + i), *n);
      i += *n;
      continue;
    }
    out.append("\xEF\xBF\xBD");
    // Skip the lead byte and the continuation bytes that belonged to it.
    ++i;
    while (i < bytes.size() && (bytes[i] & 0xC0) == 0x80) ++i;
  }
  return out;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string ascii_upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string_view trim(std::string_view text) {
  constexpr std::string_view ws = "\t\n\r ";
  const std::size_t b = text.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  return text.substr(b, text.find_last_not_of(ws) - b + 1);
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    // Stop before the value can overflow; any longer run of digits is too large anyway.
    if (value > 65535) return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace encoding
