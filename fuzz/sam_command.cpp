// SAM command lines as a client may send them: the line framing, the tokenizer, the port
// rule, the HELLO version range and the Base64 padding rule on arbitrary bytes. No crash;
// framing always shrinks the buffer by the line and its LF; a message that parses, and
// whose words and keys need no quotes, is written back to a line that parses to the same
// message (values are quoted where needed); an agreed version is one the bridge speaks;
// restored padding makes a length the decoder can take, or leaves the value as it was.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <string>

#include "fuzz/support/check.h"
#include "sam/base64_value.h"
#include "sam/message.h"
#include "sam/version.h"
#include "services/sam_bridge.h"

namespace {

using fuzz_support::check;

// Words and keys are written as they are: only plain ones survive the trip.
bool plain(std::string_view word) { return !word.empty() && word.find_first_of(" \t\"") == std::string_view::npos; }

void round_trip(std::string_view line) {
  auto m = sam::SamMessage::parse(line);
  if (!m) return;
  bool writable = plain(m->command) && (!m->subcommand || plain(*m->subcommand));
  for (const auto& [key, value] : m->pairs) writable = writable && plain(key);
  if (!writable) return;
  std::string written = m->to_line();
  check(!written.empty() && written.back() == '\n');
  written.pop_back();
  auto back = sam::SamMessage::parse(written);
  check(back.has_value());
  check(back->command == m->command && back->subcommand == m->subcommand && back->pairs == m->pairs);
  for (const auto& [key, value] : m->pairs) check(m->get(key).has_value());
  (void)router::parse_sam_port(m->get("FROM_PORT"));
  if (const auto version = sam::negotiate_version(m->get("MIN"), m->get("MAX"))) {
    check(std::find(sam::kBridgeVersions.begin(), sam::kBridgeVersions.end(), *version) != sam::kBridgeVersions.end());
    check(sam::negotiate_version(*version, *version) == version);
  }
  for (const auto& [key, value] : m->pairs) {
    const std::string padded = sam::with_base64_padding(value);
    check(padded == value || (padded.size() % 4 == 0 && padded.starts_with(value)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes buf(data, data + size);
  round_trip(std::string_view(reinterpret_cast<const char*>(data), size));
  while (true) {
    const std::size_t before = buf.size();
    auto line = router::pop_line_from_buf(buf);
    if (!line) {
      check(buf.size() == before);
      break;
    }
    check(buf.size() < before && line->size() < before);
    round_trip(*line);
  }
  const std::uint32_t port = router::parse_sam_port(std::string_view(reinterpret_cast<const char*>(data), size));
  check(port <= 65535);
  return 0;
}
