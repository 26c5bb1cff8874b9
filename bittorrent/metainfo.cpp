#include "bittorrent/metainfo.h"

#include <algorithm>
#include <string>

#include "bittorrent/bencode.h"
#include "crypto/sha1.h"
#include "encoding/text.h"

namespace bittorrent {

namespace {

std::unexpected<Error> bad(std::string message) { return fail(BittorrentError::Metainfo, std::move(message)); }

void add_tracker(std::vector<std::string>& list, const BVal& value) {
  const auto* b = value.as_bytes();
  if (b == nullptr) return;
  auto text = encoding::utf8_bytes_to_string(bytes_view(*b));
  if (!text) return;  // a URL that is not UTF-8 counts as empty
  append_unique_str(list, encoding::trim(*text));
}

}  // namespace

void append_unique_str(std::vector<std::string>& list, std::string_view text) {
  if (text.empty() || std::find(list.begin(), list.end(), text) != list.end()) return;
  list.emplace_back(text);
}

Result<std::string> check_safe_path_segment(std::string_view segment) {
  if (segment.empty() || segment == "." || segment == "..") return bad(msg("unsafe path segment '", segment, "'"));
  for (char c : segment) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || c == '/' || c == '\\') return bad(msg("illegal character in torrent path segment '", segment, "'"));
  }
  return std::string(segment);
}

Result<TorrentMeta> parse_torrent_file(ByteView torrent) {
  auto root = bencode_decode(torrent);
  if (!root) return std::unexpected(std::move(root.error()));

  std::vector<std::string> trackers;
  if (auto announce = bdict_get_string(*root, "announce")) append_unique_str(trackers, encoding::trim(*announce));
  if (const BVal* tiers = bdict_get(*root, "announce-list"); tiers != nullptr && tiers->as_list() != nullptr) {
    for (const BVal& tier : *tiers->as_list()) {
      if (const auto* urls = tier.as_list()) {
        for (const BVal& url : *urls) add_tracker(trackers, url);
      }
    }
  }

  if (torrent.empty() || torrent[0] != 'd') return bad("torrent root must be a Bencode dictionary");
  // The whole input decoded, so this walk over the top-level entries meets no malformation;
  // it only finds where the first "info" value starts and ends.
  std::size_t pos = 1;
  while (pos < torrent.size() && torrent[pos] != 'e') {
    auto key = decode_bval_at(torrent, pos, 0);
    if (!key) return std::unexpected(std::move(key.error()));
    const std::size_t value_start = key->end;
    auto value = decode_bval_at(torrent, value_start, 0);
    if (!value) return std::unexpected(std::move(value.error()));
    const auto* k = key->value.as_bytes();
    if (k != nullptr && *k == "info") {
      return parse_info_dict(torrent.subspan(value_start, value->end - value_start), trackers);
    }
    pos = value->end;
  }
  return bad("torrent dictionary missing 'info' key");
}

Result<TorrentMeta> parse_info_dict(ByteView info, const std::vector<std::string>& trackers) {
  auto root = bencode_decode(info);
  if (!root) return std::unexpected(std::move(root.error()));
  if (root->as_dict() == nullptr) return bad("info value must be a dictionary");

  TorrentMeta meta;
  auto name = bdict_get_string(*root, "name");
  if (!name) return bad("info dictionary missing UTF-8 'name'");
  if (auto ok = check_safe_path_segment(*name); !ok) return std::unexpected(std::move(ok.error()));
  meta.name = std::move(*name);

  auto piece_length = bdict_get_int(*root, "piece length");
  if (!piece_length || *piece_length <= 0) return bad("info dictionary missing valid 'piece length'");
  // A piece is held whole in memory while it is fetched and verified.
  if (*piece_length > max_piece_length) return bad("info dictionary has invalid 'piece length'");
  meta.piece_length = *piece_length;

  // An empty table is allowed only for a torrent of total length 0, tested below.
  const BVal::Bytes* pieces = bdict_get_bytes(*root, "pieces");
  if (pieces == nullptr || pieces->size() % 20 != 0) return bad("info dictionary has invalid 'pieces' blob");

  if (const BVal* files = bdict_get(*root, "files")) {
    const auto* list = files->as_list();
    if (list == nullptr) return bad("'files' entry must be a list");
    if (list->empty()) return bad("multi-file torrent has empty 'files' list");
    meta.files.reserve(list->size());
    for (const BVal& entry : *list) {
      auto length = bdict_get_int(entry, "length");
      if (!length || *length < 0) return bad("file entry missing valid 'length'");
      const BVal* path = bdict_get(entry, "path");
      if (path == nullptr || path->as_list() == nullptr) return bad("file entry missing 'path' list");
      const auto& elements = *path->as_list();
      if (elements.empty()) return bad("file entry has empty 'path'");
      TorrentFile file;
      file.path.reserve(elements.size() + 1);
      file.path.push_back(meta.name);
      for (const BVal& element : elements) {
        const auto* b = element.as_bytes();
        if (b == nullptr) return bad("non-string element in file 'path'");
        auto text = encoding::utf8_bytes_to_string(bytes_view(*b));
        if (!text) return wrap(BittorrentError::Encoding, std::move(text.error()));
        file.path.push_back(std::move(*text));
      }
      for (const std::string& segment : file.path) {
        if (auto ok = check_safe_path_segment(segment); !ok) return std::unexpected(std::move(ok.error()));
      }
      // Lengths are not negative, so the sum only needs a test against the top.
      if (*length > INT64_MAX - meta.total_length) return bad("total length of files out of range");
      meta.total_length += *length;
      file.length = *length;
      meta.files.push_back(std::move(file));
    }
  } else {
    auto length = bdict_get_int(*root, "length");
    if (!length || *length < 0) return bad("single-file torrent missing valid 'length'");
    meta.total_length = *length;
    meta.files.push_back(TorrentFile{{meta.name}, *length});
  }

  const std::size_t hash_count = pieces->size() / 20;
  if (meta.total_length >= 1) {
    const std::int64_t expected =
        meta.total_length / meta.piece_length + (meta.total_length % meta.piece_length != 0 ? 1 : 0);
    if (hash_count == 0) return bad("info dictionary has invalid 'pieces' blob");
    if (static_cast<std::int64_t>(hash_count) != expected) {
      return bad(msg("piece hash count ", hash_count, " does not match length ", meta.total_length, " / piece_length ",
                     meta.piece_length));
    }
    meta.pieces.resize(hash_count);
    for (std::size_t i = 0; i < hash_count; ++i) {
      std::copy_n(pieces->begin() + static_cast<std::ptrdiff_t>(i * 20), 20, meta.pieces[i].begin());
    }
  }
  // A torrent of total length 0 has nothing to fetch, whatever piece table it carries.

  for (const std::string& t : trackers) append_unique_str(meta.trackers, t);
  meta.info_hash = crypto::sha1(info);
  meta.info_bytes.assign(info.begin(), info.end());
  return meta;
}

}  // namespace bittorrent
