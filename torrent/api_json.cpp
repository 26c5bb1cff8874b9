#include "torrent/api_json.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "encoding/text.h"

namespace router {

namespace {

bool is_json_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

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

void api_json_escape_into(std::string& out, std::string_view text) {
  std::size_t run = 0;  // start of the bytes not yet appended, which need no escape
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!kStop[c]) {
      ++i;
      continue;
    }
    if (c >= 0x80) {
      // Well-formed UTF-8 passes unchanged. Anything else (a surrogate a peer sent in its
      // client name, say) would make the whole document unreadable to a strict UTF-8
      // decoder, so each such byte becomes U+FFFD.
      if (const std::size_t n = utf8_sequence_length(text, i)) {
        i += n;
        continue;
      }
      out.append(text.substr(run, i - run));
      out += "\xEF\xBF\xBD";
      run = ++i;
      continue;
    }
    out.append(text.substr(run, i - run));
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += ' ';
    }
    run = ++i;
  }
  out.append(text.substr(run));
}

std::string api_json_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  api_json_escape_into(out, text);
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

std::optional<std::string> api_json_get_string(std::string_view json, std::string_view key) {
  std::string quoted;
  quoted.reserve(key.size() + 2);
  quoted += '"';
  quoted.append(key);
  quoted += '"';
  std::size_t from = 0;
  while (from <= json.size()) {
    const std::size_t at = json.find(quoted, from);
    if (at == std::string_view::npos) return std::nullopt;
    from = at + 1;
    std::size_t i = at + quoted.size();
    while (i < json.size() && is_json_blank(json[i])) ++i;
    if (i >= json.size() || json[i] != ':') continue;
    ++i;
    while (i < json.size() && is_json_blank(json[i])) ++i;
    if (i >= json.size() || json[i] != '"') continue;
    ++i;
    std::string value;
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
        case 'n':
          value += '\n';
          break;
        case 'r':
          value += '\r';
          break;
        case 't':
          value += '\t';
          break;
        default:  // '"', '/', '\\' and every other character stand for themselves
          value += e;
      }
    }
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
    case RouterError::Message:
      return std::string(error.message());
    case RouterError::Tunnel:
      return "tunnel error";
    case RouterError::I2np:
      return "I2NP message error";
    case RouterError::NetDb:
      return "NetDB error";
    case RouterError::Noise:
      return "noise handshake error";
    case RouterError::Common:
      return "I2P structure error";
    case RouterError::Crypto:
      return "cryptography error";
    case RouterError::Net:
      return "network/disk I/O error";
  }
  return "internal error";
}

ApiJsonWriter& ApiJsonWriter::escaped(std::string_view value) {
  const bool comma = comma_due();
  write(2, [&](char* p) {
    if (comma) *p++ = ',';
    *p++ = '"';
    return p;
  });
  api_json_escape_into(out_, value);
  out_ += '"';
  return *this;
}

}  // namespace router
