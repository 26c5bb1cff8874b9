#include "sam/message.h"

namespace sam {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The tokens of a line without CR and LF, or SamError::Parse for an unterminated quote.
Result<std::vector<std::string>> tokenize(std::string_view line) {
  std::vector<std::string> tokens;
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i == line.size()) break;
    std::string token;
    bool quoted = false;
    for (; i < line.size(); ++i) {
      const char c = line[i];
      if (!quoted) {
        if (is_blank(c)) break;
        if (c == '"') {
          quoted = true;
        } else {
          token.push_back(c);
        }
        continue;
      }
      if (c == '\\') {
        if (i + 1 == line.size()) return fail(SamError::Parse, "line ends after a backslash in quotes");
        token.push_back(line[++i]);
      } else if (c == '"') {
        quoted = false;
      } else {
        token.push_back(c);
      }
    }
    if (quoted) return fail(SamError::Parse, "unterminated quote");
    tokens.push_back(std::move(token));
  }
  return tokens;
}

bool needs_quotes(std::string_view value) {
  if (value.empty()) return true;
  for (char c : value) {
    if (c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '"' || c == '\\') return true;
  }
  return false;
}

void append_value(std::string& out, std::string_view value) {
  if (!needs_quotes(value)) {
    out.append(value);
    return;
  }
  out.push_back('"');
  for (char c : value) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

}  // namespace

std::optional<std::pair<std::string, std::string>> split_kv(std::string_view token) {
  const std::size_t eq = token.find('=');
  if (eq == std::string_view::npos || eq == 0) return std::nullopt;
  return std::pair<std::string, std::string>{std::string(token.substr(0, eq)), std::string(token.substr(eq + 1))};
}

Result<SamMessage> SamMessage::parse(std::string_view line) {
  std::string clean;
  clean.reserve(line.size());
  for (char c : line) {
    if (c != '\r' && c != '\n') clean.push_back(c);
  }
  auto tokens = tokenize(clean);
  if (!tokens) return std::unexpected(std::move(tokens.error()));
  if (tokens->empty()) return fail(SamError::Parse, "empty line");

  SamMessage m;
  m.command = std::move((*tokens)[0]);
  for (std::size_t i = 1; i < tokens->size(); ++i) {
    std::string& token = (*tokens)[i];
    if (auto kv = split_kv(token)) {
      m.pairs.push_back(std::move(*kv));
    } else if (i == 1) {
      m.subcommand = std::move(token);
    } else {
      return fail(SamError::Parse, std::move(token));
    }
  }
  return m;
}

std::optional<std::string_view> SamMessage::get(std::string_view key) const {
  for (const auto& [k, v] : pairs) {
    if (k == key) return std::string_view(v);
  }
  return std::nullopt;
}

std::string SamMessage::to_line() const {
  std::string out = command;
  if (subcommand) {
    out.push_back(' ');
    out.append(*subcommand);
  }
  for (const auto& [k, v] : pairs) {
    out.push_back(' ');
    out.append(k);
    out.push_back('=');
    append_value(out, v);
  }
  out.push_back('\n');
  return out;
}

}  // namespace sam
