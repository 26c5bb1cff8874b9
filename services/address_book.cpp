#include "services/address_book.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/destination.h"
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

// A table changed in place: each change scans it.
struct ScannedAliases {
  AliasTable& table;
  void upsert(const std::string& name, std::string_view value) { upsert_alias_entry(table, name, value); }
  void remove(const std::string& name) { remove_alias_entry(table, name); }
};

// A table with an index by name, for many changes at once (a hosts file): each change is a
// look-up instead of a scan, and removed entries leave the table in one pass at the end, so
// loading n names takes time in proportion to n. Names are unique within a table, as the
// upserts keep them.
class IndexedAliases {
 public:
  explicit IndexedAliases(AliasTable& table) : table_(table), removed_(table.size(), false) {
    index_.reserve(table.size());
    for (std::size_t i = 0; i < table.size(); ++i) index_.emplace(table[i].first, i);
  }
  IndexedAliases(const IndexedAliases&) = delete;
  IndexedAliases& operator=(const IndexedAliases&) = delete;
  ~IndexedAliases() {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < table_.size(); ++i) {
      if (removed_[i]) continue;
      if (kept != i) table_[kept] = std::move(table_[i]);
      ++kept;
    }
    table_.resize(kept);
  }

  void upsert(const std::string& name, std::string_view value) {
    const auto [at, added] = index_.try_emplace(name, table_.size());
    if (!added) {
      table_[at->second].second = std::string(value);
      return;
    }
    table_.emplace_back(name, std::string(value));
    removed_.push_back(false);
  }
  void remove(const std::string& name) {
    const auto at = index_.find(name);
    if (at == index_.end()) return;
    removed_[at->second] = true;
    index_.erase(at);
  }

 private:
  AliasTable& table_;
  std::unordered_map<std::string, std::size_t> index_;  // name -> position of its entry
  std::vector<bool> removed_;
};

// A name lives in one table only: a b32 value goes to b32 (lower-cased), anything else to dest.
template <typename Aliases>
void put_alias(Aliases& b32, Aliases& dest, std::string_view name, std::string_view value, bool is_b32) {
  const std::string key = encoding::ascii_lower(name);
  if (is_b32) {
    dest.remove(key);
    b32.upsert(key, encoding::ascii_lower(value));
  } else {
    b32.remove(key);
    dest.upsert(key, value);
  }
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
  ScannedAliases b32{b32_aliases};
  ScannedAliases dest{dest_aliases};
  put_alias(b32, dest, name, value, parse_b32_hash(value).has_value());
}

Result<std::size_t> Router::load_hosts_file(std::string_view path) {
  auto bytes = ntcp2_net::read_file_bytes(path);
  if (!bytes) return wrap(RouterError::Net, std::move(bytes.error()));
  auto text = encoding::utf8_bytes_to_string(*bytes);
  if (!text) return fail(RouterError::Message, "hosts file is not valid UTF-8");

  std::size_t registered = 0;
  IndexedAliases b32(b32_aliases);
  IndexedAliases dest(dest_aliases);
  std::string_view rest = *text;
  while (true) {
    const std::size_t lf = rest.find('\n');
    const std::string_view line = encoding::trim(rest.substr(0, lf));
    if (!line.empty() && !line.starts_with('#')) {
      const std::size_t eq = line.find('=');
      if (eq != std::string_view::npos && eq != 0 && eq + 1 != line.size()) {
        const std::string_view name = encoding::trim(line.substr(0, eq));
        const std::string_view value = encoding::trim(line.substr(eq + 1));
        const bool is_b32 = parse_b32_hash(value).has_value();
        if (!name.empty() && (is_b32 || char_count(value) > kShortValueChars)) {
          put_alias(b32, dest, name, value, is_b32);
          ++registered;
        }
      }
    }
    if (lf == std::string_view::npos) break;
    rest.remove_prefix(lf + 1);
  }
  return registered;
}

SamSession* Router::find_session_by_id(std::vector<SamSession>& list, std::string_view id) {
  for (SamSession& s : list) {
    if (s.id == id) return &s;
  }
  return nullptr;
}

const SamSession* Router::find_session_by_id(const std::vector<SamSession>& list, std::string_view id) {
  for (const SamSession& s : list) {
    if (s.id == id) return &s;
  }
  return nullptr;
}

SamSession* Router::find_session_by_pub(std::string_view public_b64) {
  if (public_b64.empty()) return nullptr;
  for (SamSession& s : sessions) {
    if (s.public_b64 == public_b64) return &s;
  }
  return nullptr;
}

std::optional<common::Hash> Router::resolve_b32_alias(std::string_view name) const {
  const std::string key = encoding::ascii_lower(name);
  for (const auto& [alias, value] : b32_aliases) {
    if (alias == key) return parse_b32_hash(value);
  }
  return std::nullopt;
}

std::optional<std::string> Router::resolve_name_local(std::string_view name, std::optional<std::string_view> session_id,
                                                      const Now& now) const {
  if (name == "ME") {
    if (!session_id) return std::nullopt;
    const SamSession* own = find_session_by_id(sessions, *session_id);
    if (own == nullptr) return std::nullopt;
    return own->public_b64;
  }
  const std::string key = encoding::ascii_lower(name);
  for (const auto& [alias, value] : dest_aliases) {
    if (alias == key) return value;
  }
  const std::uint32_t now_s = now.wall_s();
  for (const auto& [alias, value] : b32_aliases) {
    if (alias != key) continue;
    if (const netdb::LeaseSet2Ptr ls = netdb.get_lease_set2_by_b32(value, now_s)) return ls->destination.to_base64();
  }
  for (const SamSession& s : sessions) {
    if (s.b32_address == key) return s.public_b64;
  }
  if (const netdb::LeaseSet2Ptr ls = netdb.get_lease_set2_by_b32(key, now_s)) return ls->destination.to_base64();
  return std::nullopt;
}

std::optional<common::Hash> Router::resolve_i2p_host_hash(std::string_view text, const Now& now) const {
  const std::string_view trimmed = encoding::trim(text);
  if (trimmed.empty()) return std::nullopt;
  if (auto h = parse_b32_hash(trimmed)) return h;
  const std::string lower = encoding::ascii_lower(trimmed);
  if (lower.size() > 51) {
    if (lower.find('.') == std::string::npos) {
      if (auto h = parse_b32_hash(lower + std::string(kB32Suffix))) return h;
    }
    if (lower.size() == 64) {
      if (auto bytes = encoding::hex_decode(lower); bytes && bytes->size() == 32) {
        common::Hash h;
        std::copy(bytes->begin(), bytes->end(), h.bytes.begin());
        return h;
      }
    }
  }
  if (auto h = resolve_b32_alias(lower)) return h;
  if (auto b64 = resolve_name_local(lower, std::nullopt, now)) {
    auto dest = common::Destination::from_base64(*b64);
    if (!dest) return std::nullopt;
    return dest->keys_and_cert.hash();
  }
  return std::nullopt;
}

bool Router::start_proxy_netdb_lookup(const common::Hash& hash, const Now& now) {
  if (has_pending_lookup(hash, LookupKind::LeaseSet)) return true;
  return start_polled_lease_set_lookup(hash, now);
}

}  // namespace router
