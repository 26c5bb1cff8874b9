#include "services/address_book.h"

#include <algorithm>
#include <string>

#include "encoding/text.h"
#include "ntcp2_net/files.h"

namespace router {

namespace {

constexpr std::string_view kB32Suffix = ".b32.i2p";
// Values this long or shorter must be b32 addresses; longer ones are Base64 Destinations.
constexpr std::size_t kShortValueChars = 100;

// Number of characters (code points) of valid UTF-8 text.
std::size_t char_count(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

std::optional<common::Hash> parse_b32_hash(std::string_view text) {
  const std::string lower = encoding::ascii_lower(text);
  if (!lower.ends_with(kB32Suffix)) return std::nullopt;
  auto bytes = encoding::base32_decode(std::string_view(lower).substr(0, lower.size() - kB32Suffix.size()));
  if (!bytes || bytes->size() != 32) return std::nullopt;
  common::Hash h;
  std::copy(bytes->begin(), bytes->end(), h.bytes.begin());
  return h;
}

void upsert_alias_entry(AliasTable& table, std::string_view name, std::string_view value) {
  for (auto& entry : table) {
    if (entry.first == name) {
      entry.second = std::string(value);
      return;
    }
  }
  table.emplace_back(std::string(name), std::string(value));
}

void remove_alias_entry(AliasTable& table, std::string_view name) {
  std::erase_if(table, [&](const auto& entry) { return entry.first == name; });
}

void Router::register_alias(std::string_view name, std::string_view value) {
  const std::string key = encoding::ascii_lower(name);
  if (parse_b32_hash(value)) {
    remove_alias_entry(dest_aliases, key);
    upsert_alias_entry(b32_aliases, key, encoding::ascii_lower(value));
  } else {
    remove_alias_entry(b32_aliases, key);
    upsert_alias_entry(dest_aliases, key, value);
  }
}

Result<std::size_t> Router::load_hosts_file(std::string_view path) {
  auto bytes = ntcp2_net::read_file_bytes(path);
  if (!bytes) return wrap(RouterError::Net, std::move(bytes.error()));
  auto text = encoding::utf8_bytes_to_string(*bytes);
  if (!text) return fail(RouterError::Message, "hosts file is not valid UTF-8");

  std::size_t registered = 0;
  std::string_view rest = *text;
  while (true) {
    const std::size_t lf = rest.find('\n');
    const std::string_view line = encoding::trim(rest.substr(0, lf));
    if (!line.empty() && !line.starts_with('#')) {
      const std::size_t eq = line.find('=');
      if (eq != std::string_view::npos && eq != 0 && eq + 1 != line.size()) {
        const std::string_view name = encoding::trim(line.substr(0, eq));
        const std::string_view value = encoding::trim(line.substr(eq + 1));
        const bool acceptable_value = char_count(value) > kShortValueChars || parse_b32_hash(value).has_value();
        if (!name.empty() && acceptable_value) {
          register_alias(name, value);
          ++registered;
        }
      }
    }
    if (lf == std::string_view::npos) break;
    rest.remove_prefix(lf + 1);
  }
  return registered;
}

}  // namespace router
