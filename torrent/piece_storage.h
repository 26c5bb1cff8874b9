#pragma once
// A torrent's bytes on disk. The files lie end to end in metainfo order and each piece is a
// slice of that sequence: writing a verified piece puts each overlapping part into its
// file, reading a span gathers it back.
//
// No cache and no open-file table: every call opens, transfers at an offset and closes.
// Files are created on first write, never truncated, never preallocated; data from an
// earlier run is found again by re-verifying the pieces when the metainfo becomes known.
//
// File names are the download folder followed by the sanitised path segments. The folder
// itself may be (or pass through) a symbolic link; below it no link is ever followed, so a
// link planted inside a torrent's tree cannot send writes, or reads, outside it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bittorrent/metainfo.h"
#include "encoding/bytes.h"
#include "encoding/error.h"
#include "torrent/active_torrent.h"

namespace router {

struct PieceWriteOutcome {
  bool ok = false;
  std::string message;  // empty on success
};

// Writes the piece's bytes into the files it covers, creating folders and files as needed.
// (false, message) on failure: "missing metainfo", "piece index out of range",
// "mkdir_p(" folder "): " and the error, "write_file_at(" file " @ " offset "): " and the
// error, or "short piece write (" written "/" size "B)" when the bytes reach past the last
// file. Bytes already written stay. Empty files at the piece's edges or inside it are
// created too.
PieceWriteOutcome bt_write_piece_to_files(const ActiveTorrent& torrent, std::int64_t index, ByteView piece);
PieceWriteOutcome bt_write_piece_to_files(std::string_view download_dir, const bittorrent::TorrentMeta& meta,
                                          std::int64_t index, ByteView piece);

// The bytes [begin, begin + length) of piece index, all or nothing: none without metainfo,
// for an index outside the piece table, a length of 0 or less, a negative begin, a span
// past the piece's end, or a file that is missing, short or unreadable.
std::optional<Bytes> bt_read_span_from_files(const ActiveTorrent& torrent, std::int64_t index, std::int64_t begin,
                                             std::int64_t length);
std::optional<Bytes> bt_read_span_from_files(std::string_view download_dir, const bittorrent::TorrentMeta& meta,
                                             std::int64_t index, std::int64_t begin, std::int64_t length);

// The size of piece index: piece_length, less for the last piece, 0 outside the torrent.
std::int64_t bt_piece_size(const bittorrent::TorrentMeta& meta, std::int64_t index);

// One path segment made safe for file systems: each of " * : < > ? | becomes "_", trailing
// dots and spaces go, and an empty result is "_". Segments have already passed the
// metainfo check (no "/", "\", control characters, "." or "..").
std::string bt_sanitize_fs_segment(std::string_view segment);

// The folder (without one trailing "/"), then "/" and the sanitised form of each segment.
std::string bt_join_rel_path(std::string_view folder, const std::vector<std::string>& segments);

// The folder without one trailing "/"; "/" itself stays.
std::string bt_normalize_dir(std::string_view folder);

// A short text of a platform error for storage messages: the message of NetError::Peer and
// NetError::Io, else "common error", "protocol error", "closed", "timeout" or "noise error".
std::string bt_net_err_msg(const Error& error);

// Refuses file lists in which two files would land on one name once sanitised, or in which
// one file's name is a folder of another: they would overwrite each other and the torrent
// could never verify. RouterError::Message "conflicting file paths in torrent: " naming
// both paths as the torrent gives them.
Result<void> bt_check_file_paths(const std::vector<bittorrent::TorrentFile>& files);

}  // namespace router
