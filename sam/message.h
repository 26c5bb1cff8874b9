#pragma once
// One SAM v3 command line: a command word, an optional subcommand and key=value pairs.
//
// Parsing is pure: no I/O, no state. Tokens are separated by spaces and tabs; a double
// quote opens a section in which spaces and tabs are ordinary and a backslash takes the
// next character as it is; the quotes themselves are dropped and the token goes on after
// the closing one. Outside quotes a backslash is an ordinary character.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encoding/error.h"

namespace sam {

struct SamMessage {
  std::string command;                                     // the first word
  std::optional<std::string> subcommand;                   // the second word unless it is a pair
  std::vector<std::pair<std::string, std::string>> pairs;  // in the order written; keys may repeat

  // SamError::Parse for a line without tokens, an unterminated quoted section (or one that
  // ends after a backslash), or a token after the second that is not key=value (the
  // message is that token).
  static Result<SamMessage> parse(std::string_view line);

  // The value of the first pair with exactly this key.
  std::optional<std::string_view> get(std::string_view key) const;

  // The line as the bridge writes it, ending in one LF. A value that is empty or holds a
  // tab, LF, CR, space, double quote or backslash is written quoted, with a backslash in
  // front of each double quote and backslash.
  std::string to_line() const;
};

// (key, value) split at the first "=": the key must not be empty, the value may be.
std::optional<std::pair<std::string, std::string>> split_kv(std::string_view token);

}  // namespace sam
