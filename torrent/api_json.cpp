#include "torrent/api_json.h"

#include <charconv>

#include "encoding/text.h"

namespace router {

namespace {

bool is_json_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string api_json_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
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
        // Bytes of multi-byte UTF-8 sequences are at or above 0x80 and pass unchanged.
        out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
  }
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

void ApiJsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!has_items_.empty()) {
    if (has_items_.back()) out_ += ',';
    has_items_.back() = true;
  }
}

ApiJsonWriter& ApiJsonWriter::begin_object() {
  before_value();
  out_ += '{';
  has_items_.push_back(false);
  return *this;
}

ApiJsonWriter& ApiJsonWriter::end_object() {
  out_ += '}';
  if (!has_items_.empty()) has_items_.pop_back();
  return *this;
}

ApiJsonWriter& ApiJsonWriter::begin_array() {
  before_value();
  out_ += '[';
  has_items_.push_back(false);
  return *this;
}

ApiJsonWriter& ApiJsonWriter::end_array() {
  out_ += ']';
  if (!has_items_.empty()) has_items_.pop_back();
  return *this;
}

ApiJsonWriter& ApiJsonWriter::key(std::string_view name) {
  before_value();
  out_ += '"';
  out_ += name;
  out_ += "\":";
  after_key_ = true;
  return *this;
}

ApiJsonWriter& ApiJsonWriter::escaped(std::string_view value) {
  before_value();
  out_ += '"';
  out_ += api_json_escape(value);
  out_ += '"';
  return *this;
}

ApiJsonWriter& ApiJsonWriter::raw(std::string_view value) {
  before_value();
  out_ += '"';
  out_ += value;
  out_ += '"';
  return *this;
}

ApiJsonWriter& ApiJsonWriter::number(std::uint64_t value) {
  before_value();
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out_.append(buf, r.ptr);
  return *this;
}

ApiJsonWriter& ApiJsonWriter::boolean(bool value) {
  before_value();
  out_ += value ? "true" : "false";
  return *this;
}

}  // namespace router
