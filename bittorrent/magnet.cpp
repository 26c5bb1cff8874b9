#include "bittorrent/magnet.h"

#include <algorithm>
#include <optional>

#include "encoding/text.h"

namespace bittorrent {

namespace {

std::optional<std::uint8_t> hex_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

// The host before the last ":" and the port behind it, or none when the host is empty or
// the port is not 1 to 65535 written in decimal digits only.
std::optional<MagnetNode> parse_node(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  auto port = encoding::parse_port(text.substr(colon + 1));
  if (!port || *port == 0) return std::nullopt;
  return MagnetNode{std::string(text.substr(0, colon)), *port};
}

}  // namespace

std::string percent_decode_param(std::string_view text, bool plus_is_space) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+' && plus_is_space) {
      out.push_back(' ');
    } else if (c == '%' && text.size() - i > 2) {
      auto hi = hex_value(text[i + 1]);
      auto lo = hex_value(text[i + 2]);
      if (hi && lo) {
        out.push_back(static_cast<char>(*hi << 4 | *lo));
        i += 2;
      } else {
        out.push_back('%');
      }
    } else {
      out.push_back(c);
    }
  }
  if (!encoding::utf8_bytes_to_string(as_bytes(out))) return std::string(text);
  return out;
}

Result<MagnetLink> parse_magnet(std::string_view uri) {
  constexpr std::string_view prefix = "magnet:?";
  const std::string_view text = encoding::trim(uri);
  if (encoding::ascii_lower(text.substr(0, prefix.size())) != prefix) {
    return fail(BittorrentError::Magnet, "URI must start with 'magnet:?'");
  }
  MagnetLink link;
  bool have_hash = false;
  std::string_view rest = text.substr(prefix.size());
  while (!rest.empty()) {
    const std::size_t amp = rest.find('&');
    const std::string_view part = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
    const std::size_t eq = part.find('=');
    if (eq == std::string_view::npos || eq == 0) continue;
    const std::string key = encoding::ascii_lower(part.substr(0, eq));
    const std::string_view value = part.substr(eq + 1);

    if (key == "xt") {
      const std::string urn = percent_decode_param(value, false);
      constexpr std::string_view btih = "urn:btih:";
      if (encoding::ascii_lower(std::string_view(urn).substr(0, btih.size())) != btih) continue;
      const std::string_view hash_text = std::string_view(urn).substr(btih.size());
      Result<Bytes> hash = std::unexpected(Error(BittorrentError::Magnet));
      if (hash_text.size() == 40) {
        hash = encoding::hex_decode(hash_text);
      } else if (hash_text.size() == 32) {
        hash = encoding::base32_decode(hash_text);
      } else {
        return fail(BittorrentError::Magnet, msg("unsupported btih hash length: ", hash_text.size()));
      }
      if (!hash) return wrap(BittorrentError::Encoding, std::move(hash.error()));
      if (hash->size() != 20) return fail(BittorrentError::Magnet, "decoded btih must be 20 bytes");
      std::copy(hash->begin(), hash->end(), link.info_hash.begin());
      have_hash = true;
    } else if (key == "dn") {
      link.name = percent_decode_param(value, true);
    } else if (key == "tr") {
      append_unique_str(link.trackers, encoding::trim(percent_decode_param(value, false)));
    } else if (key == "dht" || key == "x.pe") {
      if (auto node = parse_node(percent_decode_param(value, false))) link.dht_nodes.push_back(std::move(*node));
    }
  }
  if (!have_hash) return fail(BittorrentError::Magnet, "magnet URI missing xt=urn:btih:<hash>");
  if (link.name.empty()) link.name = encoding::hex_encode(link.info_hash);
  return link;
}

}  // namespace bittorrent
