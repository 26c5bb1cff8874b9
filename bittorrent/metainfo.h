#pragma once
// .torrent files and info dictionaries, validated before anything names a file.
//
// The info hash is the SHA-1 of the info dictionary's exact bytes as they stand in the
// input, never of a re-encoding. Every path segment, the torrent name included, is checked
// before it can name a file, and the piece table must agree with the total length.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/bytes.h"
#include "encoding/error.h"

namespace bittorrent {

using InfoHash = std::array<std::uint8_t, 20>;
using PieceHash = std::array<std::uint8_t, 20>;

// The largest piece the client agrees to hold in memory.
inline constexpr std::int64_t max_piece_length = 64 * 1024 * 1024;

// One file of a torrent: the torrent name, then the file's own path segments (a
// single-file torrent's path is the name alone). Files lie end to end in list order.
struct TorrentFile {
  std::vector<std::string> path;
  std::int64_t length = 0;
  friend bool operator==(const TorrentFile&, const TorrentFile&) = default;
};

struct TorrentMeta {
  InfoHash info_hash{};
  std::string name;
  std::int64_t piece_length = 0;  // 1 to max_piece_length
  // The piece hashes in order; empty for a torrent of total length 0, which is complete
  // as soon as its (empty) files exist.
  std::vector<PieceHash> pieces;
  std::int64_t total_length = 0;
  std::vector<TorrentFile> files;
  std::vector<std::string> trackers;  // no empty strings, no repeats, first-seen order
  Bytes info_bytes;                   // the exact bencoded info dictionary
};

// A whole .torrent file: the trackers of "announce" and "announce-list", then the first
// "info" value cut out of the input by offset.
Result<TorrentMeta> parse_torrent_file(ByteView torrent);
// An info dictionary (from a .torrent or fetched from peers) with the trackers to keep.
Result<TorrentMeta> parse_info_dict(ByteView info, const std::vector<std::string>& trackers);

// The segment unchanged, or BittorrentError::Metainfo when it is empty, "." or "..", or
// holds a control character (U+0000 to U+001F), "/" or "\".
Result<std::string> check_safe_path_segment(std::string_view segment);

// Appends text unless it is empty or already in the list.
void append_unique_str(std::vector<std::string>& list, std::string_view text);

}  // namespace bittorrent
