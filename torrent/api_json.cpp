#include "torrent/api_json.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "encoding/text.h"

namespace router {

namespace {

bool is_json_blank(char c) { return kApiJsonBlanks.find(c) != std::string_view::npos; }

}  // namespace

namespace {

bool is_continuation(std::string_view text, std::size_t i) {
  return i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence of a scalar value starting at i (lead byte
// at or above 0x80), or 0. Surrogates, overlong forms and values above U+10FFFF are not.
std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const auto second = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (second < lo || second > hi) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (!is_continuation(text, i + k)) return 0;
  }
  return n;
}

// The bytes the escaping loop must stop at: control characters, '"', '\\' and every byte
// of a multi-byte sequence (checked for well-formed UTF-8).
constexpr std::array<bool, 256> kStop = [] {
  std::array<bool, 256> t{};
  for (std::size_t c = 0; c < 256; ++c) t[c] = c < 0x20 || c >= 0x80 || c == '"' || c == '\\';
  return t;
}();

}  // namespace

namespace {

// The bytes of x (8 bytes as loaded from memory) that must stop the copying loop: a control
// character, '"', '\\' or a byte at or above 0x80, each marked by its high bit. None is ever
// missed. A byte may be marked without cause, but only after (at a higher address than) one
// that must stop, where a borrow of the subtractions ran on; the first marked byte is
// always one that must stop.
std::uint64_t stop_marks(std::uint64_t x) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  const std::uint64_t quote = x ^ (kOnes * '"');
  const std::uint64_t backslash = x ^ (kOnes * '\\');
  const std::uint64_t below_blank = (x - kOnes * 0x20) & ~x;
  const std::uint64_t zero_quote = (quote - kOnes) & ~quote;
  const std::uint64_t zero_backslash = (backslash - kOnes) & ~backslash;
  return (x | below_blank | zero_quote | zero_backslash) & kHighs;
}

char* put(char* out, std::string_view s) {
  std::memcpy(out, s.data(), s.size());
  return out + s.size();
}

}  // namespace

char* api_json_escape_to(char* out, std::string_view text) {
  const char* const s = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // Names, paths and statuses have little or nothing to escape: 16 or 8 bytes at a time,
    // copied as they are up to the first byte that needs a look.
#if defined(__SSE2__)
    if (n - i >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
      // Signed bytes: below 0x20 are the control characters and the bytes from 0x80 on.
      const __m128i marks =
          _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                       _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
      const auto mask = static_cast<unsigned>(_mm_movemask_epi8(marks));
      if (mask == 0) {
        out += 16;
        i += 16;
        continue;
      }
      const auto first = static_cast<std::size_t>(std::countr_zero(mask));
      out += first;
      i += first;
    } else
#endif
        if constexpr (std::endian::native == std::endian::little) {
      if (n >= 8) {
        std::uint64_t word;
        std::size_t take = 8;
        if (n - i >= 8) {
          std::memcpy(&word, s + i, 8);
        } else {
          // The last 8 bytes of the text, moved down so that the first unread one comes
          // first, with filler that never needs escaping after the end.
          constexpr std::uint64_t kFiller = 0x6161616161616161ull;  // "aaaaaaaa"
          take = n - i;
          std::memcpy(&word, s + n - 8, 8);
          const auto drop = static_cast<unsigned>(8 * (8 - take));
          word = (word >> drop) | (kFiller << (64 - drop));
        }
        std::memcpy(out, &word, 8);
        const std::uint64_t marks = stop_marks(word);
        if (marks == 0) {
          out += take;
          i += take;
          continue;
        }
        // Before take: filler is never marked first.
        const auto first = static_cast<std::size_t>(std::countr_zero(marks) / 8);
        out += first;
        i += first;
      }
    }
    const auto c = static_cast<unsigned char>(s[i]);
    if (!kStop[c]) {
      *out++ = s[i++];
      continue;
    }
    if (c >= 0x80) {
      // Well-formed UTF-8 passes unchanged. Anything else (a surrogate a peer sent in its
      // client name, say) would make the whole document unreadable to a strict UTF-8
      // decoder, so each such byte becomes U+FFFD.
      if (const std::size_t len = utf8_sequence_length(text, i)) {
        out = put(out, text.substr(i, len));
        i += len;
      } else {
        out = put(out, "\xEF\xBF\xBD");
        ++i;
      }
      continue;
    }
    switch (c) {
      case '"': out = put(out, "\\\""); break;
      case '\\': out = put(out, "\\\\"); break;
      case '\n': out = put(out, "\\n"); break;
      case '\r': out = put(out, "\\r"); break;
      case '\t': out = put(out, "\\t"); break;
      default: *out++ = ' ';
    }
    ++i;
  }
  return out;
}

std::string api_json_escape(std::string_view text) {
  std::string out;
  out.resize_and_overwrite(text.size() * 3 + 8, [&](char* p, std::size_t) {
    return static_cast<std::size_t>(api_json_escape_to(p, text) - p);
  });
  return out;
}

std::string api_json_err(std::string_view text) {
  return ApiJsonWriter().begin_object().boolean("ok", false).escaped("error", text).end_object().take();
}

std::int64_t api_parse_decimal(std::string_view text) {
  const std::string_view t = encoding::trim(text);
  std::int64_t value = 0;
  for (const char c : t) {
    if (value > 10'000'000) break;  // whatever follows
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

ApiJsonMembers::ApiJsonMembers(std::string_view json, std::string_view key, std::string_view blanks)
    : json_(json), blanks_(blanks) {
  quoted_.reserve(key.size() + 2);
  quoted_ += '"';
  quoted_.append(key);
  quoted_ += '"';
}

std::optional<std::size_t> ApiJsonMembers::next() {
  const auto skip_blanks = [&](std::size_t i) {
    while (i < json_.size() && blanks_.find(json_[i]) != std::string_view::npos) ++i;
    return i;
  };
  while (from_ <= json_.size()) {
    const std::size_t at = json_.find(quoted_, from_);
    if (at == std::string_view::npos) break;
    from_ = at + 1;
    std::size_t i = skip_blanks(at + quoted_.size());
    if (i >= json_.size() || json_[i] != ':') continue;
    i = skip_blanks(i + 1);
    return i;
  }
  from_ = json_.size() + 1;
  return std::nullopt;
}

namespace {

// The code unit of the four hex digits at json[i, i + 4), or none.
std::optional<std::uint32_t> hex4(std::string_view json, std::size_t i) {
  if (json.size() - std::min(i, json.size()) < 4) return std::nullopt;
  std::uint32_t unit = 0;
  const auto [end, ec] = std::from_chars(json.data() + i, json.data() + i + 4, unit, 16);
  if (ec != std::errc() || end != json.data() + i + 4 || json[i] == '+' || json[i] == '-') return std::nullopt;
  return unit;
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The \u escape whose four digits start at i: its character appended to out, and the
// position after it (after the second escape of a surrogate pair); none when it is not four
// hex digits, or is a surrogate that is not a high one followed by a \u low one.
std::optional<std::size_t> take_unicode_escape(std::string_view json, std::size_t i, std::string& out) {
  const auto unit = hex4(json, i);
  if (!unit || (*unit >= 0xDC00 && *unit <= 0xDFFF)) return std::nullopt;
  i += 4;
  if (*unit < 0xD800 || *unit > 0xDBFF) {
    append_utf8(out, *unit);
    return i;
  }
  if (json.substr(i, 2) != "\\u") return std::nullopt;
  const auto low = hex4(json, i + 2);
  if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
  append_utf8(out, 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00));
  return i + 6;
}

// The string literal whose opening quote is at i, unescaped; none when it does not close
// or holds a bad \u escape.
std::optional<std::string> read_string_literal(std::string_view json, std::size_t i) {
  std::string value;
  ++i;
  for (;;) {
    if (i >= json.size()) return std::nullopt;
    const char c = json[i++];
    if (c == '"') return value;
    if (c != '\\') {
      value += c;
      continue;
    }
    if (i >= json.size()) return std::nullopt;
    const char e = json[i++];
    switch (e) {
      case 'n': value += '\n'; break;
      case 'r': value += '\r'; break;
      case 't': value += '\t'; break;
      case 'u': {
        const auto after = take_unicode_escape(json, i, value);
        if (!after) return std::nullopt;
        i = *after;
        break;
      }
      default:  // '"', '/', '\\' and every other character stand for themselves
        value += e;
    }
  }
}

}  // namespace

std::optional<std::string> api_json_get_string(std::string_view json, std::string_view key) {
  ApiJsonMembers members(json, key, kApiJsonBlanks);
  while (const auto at = members.next()) {
    if (*at < json.size() && json[*at] == '"') return read_string_literal(json, *at);
  }
  return std::nullopt;
}

Result<Bytes> api_decode_base64_flexible(std::string_view text) {
  std::string rewritten;
  rewritten.reserve(text.size() + 2);
  for (const char c : text) {
    if (is_json_blank(c)) continue;
    if (c == '+') {
      rewritten += '-';
    } else if (c == '/' || c == '_') {
      rewritten += '~';
    } else {
      rewritten += c;
    }
  }
  if (rewritten.size() % 4 == 2) rewritten += "==";
  if (rewritten.size() % 4 == 3) rewritten += '=';
  return encoding::base64_decode(rewritten);
}

std::string api_router_err_msg(const Error& error) {
  const auto variant = error.as<RouterError>();
  if (!variant) return error.has_message() ? std::string(error.message()) : "internal error";
  switch (*variant) {
    case RouterError::Message: return std::string(error.message());
    case RouterError::Tunnel: return "tunnel error";
    case RouterError::I2np: return "I2NP message error";
    case RouterError::NetDb: return "NetDB error";
    case RouterError::Noise: return "noise handshake error";
    case RouterError::Common: return "I2P structure error";
    case RouterError::Crypto: return "cryptography error";
    case RouterError::Net: return "network/disk I/O error";
  }
  return "internal error";
}

}  // namespace router
