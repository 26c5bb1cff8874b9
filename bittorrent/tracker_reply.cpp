#include "bittorrent/tracker_reply.h"

#include <algorithm>
#include <limits>

#include "bittorrent/bencode.h"
#include "common/destination.h"
#include "encoding/gzip.h"
#include "encoding/text.h"

namespace bittorrent {

namespace {

std::unexpected<Error> wire(std::string message) { return fail(BittorrentError::Wire, std::move(message)); }

// The offset of the body: behind the first CR LF CR LF or LF LF, whichever comes first.
std::optional<std::pair<std::size_t, std::size_t>> find_head_end(ByteView reply) {
  for (std::size_t i = 0; i < reply.size(); ++i) {
    if (reply[i] != '\n') continue;
    if (i + 1 < reply.size() && reply[i + 1] == '\n') return std::pair{i, i + 2};
    if (i >= 1 && reply[i - 1] == '\r' && i + 2 < reply.size() && reply[i + 1] == '\r' && reply[i + 2] == '\n') {
      return std::pair{i - 1, i + 3};
    }
  }
  return std::nullopt;
}

bool ends_with_ci(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && encoding::ascii_lower(text.substr(text.size() - suffix.size())) == suffix;
}

Result<Bytes> dechunk(ByteView body) {
  Bytes out;
  std::size_t pos = 0;
  for (;;) {
    const auto lf = std::find(body.begin() + static_cast<std::ptrdiff_t>(pos), body.end(), '\n');
    if (lf == body.end()) return wire("malformed chunked tracker response");
    const std::size_t line_end = static_cast<std::size_t>(lf - body.begin());
    ByteView line = body.subspan(pos, line_end - pos);
    if (!line.empty() && line.back() == '\r') line = line.first(line.size() - 1);
    auto text = encoding::utf8_bytes_to_string(line);
    if (!text) return wire("non-UTF8 chunk size");
    const std::string_view size_text = encoding::trim(std::string_view(*text).substr(0, text->find(';')));
    if (size_text.empty()) break;
    // The size saturates: any size beyond the body is a truncation, however large.
    std::uint64_t size = 0;
    for (char c : size_text) {
      std::uint64_t digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<std::uint64_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<std::uint64_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<std::uint64_t>(c - 'A' + 10);
      } else {
        return wire(msg("invalid hex chunk size: ", size_text));
      }
      size = size > (std::numeric_limits<std::uint64_t>::max() >> 4) ? std::numeric_limits<std::uint64_t>::max()
                                                                     : size << 4 | digit;
    }
    if (size == 0) break;
    const std::size_t data = line_end + 1;
    if (size > body.size() - data) return wire("truncated chunked tracker body");
    const std::size_t data_end = data + static_cast<std::size_t>(size);
    out.insert(out.end(), body.begin() + static_cast<std::ptrdiff_t>(data),
               body.begin() + static_cast<std::ptrdiff_t>(data_end));
    pos = data_end;
    if (pos + 1 < body.size() && body[pos] == '\r' && body[pos + 1] == '\n') {
      pos += 2;
    } else if (pos < body.size() && body[pos] == '\n') {
      pos += 1;
    }
    if (pos >= body.size() || (body.size() - pos == 1 && body[pos] == '\n')) break;
  }
  return out;
}

// The low 32 bits of a count the tracker gave, at most the largest 32-bit value.
std::int32_t clamp32(std::int64_t v) {
  return static_cast<std::int32_t>(std::min<std::int64_t>(v, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

std::optional<common::Hash> decode_tracker_peer_str(std::string_view text) {
  std::string_view t = encoding::trim(text);
  if (ends_with_ci(t, ".i2p")) t.remove_suffix(4);
  if (ends_with_ci(t, ".b32") && t.size() > 55) {
    auto bytes = encoding::base32_decode(t.substr(0, t.size() - 4));
    if (!bytes) return std::nullopt;
    if (bytes->size() == 32) return common::Hash::from_bytes(*bytes).value();
  }
  auto dest = common::Destination::from_base64(t);
  if (!dest) return std::nullopt;
  return dest->keys_and_cert.hash();
}

Result<TrackerResponse> parse_http_tracker_response(ByteView reply) {
  auto head_end = find_head_end(reply);
  if (!head_end) return wire("HTTP tracker response missing header terminator");
  auto head_text = encoding::utf8_bytes_to_string(reply.first(head_end->first));
  if (!head_text) return wrap(BittorrentError::Encoding, std::move(head_text.error()));
  const std::string head = encoding::ascii_lower(*head_text);
  const std::string status(encoding::trim(std::string_view(head).substr(0, head.find('\n'))));
  if (status.empty()) return wire("empty HTTP tracker status line");
  if (status.find(" 20") == std::string::npos) return wire(msg("tracker HTTP status error: ", status));

  ByteView body = reply.subspan(head_end->second);
  Bytes dechunked;
  if (head.find("transfer-encoding: chunked") != std::string::npos) {
    auto d = dechunk(body);
    if (!d) return std::unexpected(std::move(d.error()));
    dechunked = std::move(*d);
    body = dechunked;
  }
  Bytes inflated;
  if (head.find("content-encoding: gzip") != std::string::npos) {
    auto d = encoding::gzip_decompress(body);
    if (!d) return wrap(BittorrentError::Encoding, std::move(d.error()));
    inflated = std::move(*d);
    body = inflated;
  }
  auto root = bencode_decode(body);
  if (!root) return std::unexpected(std::move(root.error()));

  TrackerResponse out;
  out.failure_reason = bdict_get_string(*root, "failure reason");
  if (auto v = bdict_get_int(*root, "interval"); v && *v > 0) out.interval = clamp32(*v);
  if (auto v = bdict_get_int(*root, "complete"); v && *v >= 0) out.complete = clamp32(*v);
  if (auto v = bdict_get_int(*root, "incomplete"); v && *v >= 0) out.incomplete = clamp32(*v);
  if (const BVal* peers = bdict_get(*root, "peers")) {
    if (const auto* compact = peers->as_bytes()) {
      for (std::size_t at = 0; at + 32 <= compact->size(); at += 32) {
        common::Hash h;
        std::copy_n(compact->begin() + static_cast<std::ptrdiff_t>(at), 32, h.bytes.begin());
        if (h != common::Hash{}) out.peers.push_back(h);
      }
    } else if (const auto* list = peers->as_list()) {
      for (const BVal& peer : *list) {
        auto ip = bdict_get_string(peer, "ip");
        if (!ip) continue;
        if (auto h = decode_tracker_peer_str(*ip)) out.peers.push_back(*h);
      }
    }
  }
  return out;
}

}  // namespace bittorrent
