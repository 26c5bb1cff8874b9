#include "torrent/piece_storage.h"

#include <algorithm>
#include <span>
#include <unordered_map>

#include "ntcp2_net/files.h"

namespace router {

namespace {

// The sanitised segments [0, count) of a path joined by "/".
std::string rel_path(const std::vector<std::string>& segments, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) out += '/';
    out += bt_sanitize_fs_segment(segments[i]);
  }
  return out;
}

// The path as the torrent gives it, for messages.
std::string shown_path(const std::vector<std::string>& segments) {
  std::string out;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) out += '/';
    out += segments[i];
  }
  return out;
}

// Creates the folder, then the file's folders below it without following links.
Result<void> make_file_dirs(const std::string& base, const std::vector<std::string>& path) {
  if (auto made = ntcp2_net::mkdir_p(base); !made) return made;
  if (path.size() < 2) return {};
  return ntcp2_net::mkdir_below(base, rel_path(path, path.size() - 1));
}

std::string dir_name(const std::string& base, const std::vector<std::string>& path) {
  if (path.size() < 2) return base;
  return msg(base, '/', rel_path(path, path.size() - 1));
}

}  // namespace

std::int64_t bt_piece_size(const bittorrent::TorrentMeta& meta, std::int64_t index) {
  if (index < 0 || static_cast<std::uint64_t>(index) >= meta.pieces.size() || meta.piece_length <= 0) return 0;
  const std::int64_t start = index * meta.piece_length;
  const std::int64_t rest = meta.total_length - start;
  return rest <= 0 ? 0 : std::min(meta.piece_length, rest);
}

PieceWriteOutcome bt_write_piece_to_files(const ActiveTorrent& torrent, std::int64_t index, ByteView piece) {
  if (!torrent.meta) return {false, "missing metainfo"};
  return bt_write_piece_to_files(torrent.download_dir, *torrent.meta, index, piece);
}

PieceWriteOutcome bt_write_piece_to_files(std::string_view download_dir, const bittorrent::TorrentMeta& meta,
                                          std::int64_t index, ByteView piece) {
  // An index outside the piece table could only place bytes where no piece lies.
  if (index < 0 || static_cast<std::uint64_t>(index) >= meta.pieces.size()) return {false, "piece index out of range"};
  const std::string base = bt_normalize_dir(download_dir);
  const auto n = static_cast<std::int64_t>(piece.size());
  const std::int64_t p = index * meta.piece_length;
  std::int64_t written = 0;
  std::int64_t start = 0;
  for (const bittorrent::TorrentFile& file : meta.files) {
    const std::int64_t end = start + file.length;
    // An empty file is created by every piece that reaches its position, so that empty
    // files at piece edges exist once the torrent is complete, like those inside a piece.
    const bool overlaps = file.length == 0 ? (p <= start && start <= p + n) : (start < p + n && p < end);
    if (overlaps) {
      if (auto made = make_file_dirs(base, file.path); !made) {
        return {false, msg("mkdir_p(", dir_name(base, file.path), "): ", bt_net_err_msg(made.error()))};
      }
      const std::int64_t from = std::max(p, start);
      const std::int64_t to = std::min(p + n, end);
      const std::int64_t file_offset = from - start;
      const ByteView part = piece.subspan(static_cast<std::size_t>(from - p), static_cast<std::size_t>(to - from));
      if (auto wrote = ntcp2_net::write_file_below(base, rel_path(file.path, file.path.size()), file_offset, part);
          !wrote) {
        return {false, msg("write_file_at(", bt_join_rel_path(base, file.path), " @ ", file_offset,
                           "): ", wrote.error().message())};
      }
      written += to - from;
    }
    start = end;
  }
  if (written != n) return {false, msg("short piece write (", written, "/", n, "B)")};
  return {true, ""};
}

std::optional<Bytes> bt_read_span_from_files(const ActiveTorrent& torrent, std::int64_t index, std::int64_t begin,
                                             std::int64_t length) {
  if (!torrent.meta) return std::nullopt;
  return bt_read_span_from_files(torrent.download_dir, *torrent.meta, index, begin, length);
}

std::optional<Bytes> bt_read_span_from_files(std::string_view download_dir, const bittorrent::TorrentMeta& meta,
                                             std::int64_t index, std::int64_t begin, std::int64_t length) {
  if (length <= 0 || begin < 0 || index < 0 || static_cast<std::uint64_t>(index) >= meta.pieces.size()) {
    return std::nullopt;
  }
  const std::int64_t size = bt_piece_size(meta, index);
  if (begin > size || length > size - begin) return std::nullopt;
  const std::string base = bt_normalize_dir(download_dir);
  const std::int64_t s = index * meta.piece_length + begin;
  Bytes out(static_cast<std::size_t>(length));
  std::int64_t got = 0;
  std::int64_t start = 0;
  for (const bittorrent::TorrentFile& file : meta.files) {
    const std::int64_t end = start + file.length;
    // An empty file holds no byte of any span, so it is never opened.
    if (file.length > 0 && start < s + length && s < end) {
      const std::int64_t from = std::max(s, start);
      const std::int64_t to = std::min(s + length, end);
      const std::span<std::uint8_t> into(out.data() + (from - s), static_cast<std::size_t>(to - from));
      auto read = ntcp2_net::read_file_below(base, rel_path(file.path, file.path.size()), from - start, into);
      if (!read || *read != into.size()) return std::nullopt;
      got += to - from;
    }
    start = end;
  }
  if (got != length) return std::nullopt;
  return out;
}

std::string bt_sanitize_fs_segment(std::string_view segment) {
  std::string out(segment);
  for (char& c : out) {
    switch (c) {
      case '"':
      case '*':
      case ':':
      case '<':
      case '>':
      case '?':
      case '|': c = '_'; break;
      default: break;
    }
  }
  while (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.pop_back();
  if (out.empty()) out.push_back('_');
  return out;
}

std::string bt_join_rel_path(std::string_view folder, const std::vector<std::string>& segments) {
  std::string out = bt_normalize_dir(folder);
  for (const std::string& segment : segments) {
    out += '/';
    out += bt_sanitize_fs_segment(segment);
  }
  return out;
}

std::string bt_normalize_dir(std::string_view folder) {
  if (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
  return std::string(folder);
}

std::string bt_net_err_msg(const Error& error) {
  const std::optional<NetError> variant = error.as<NetError>();
  if (!variant) return to_string(error);
  switch (*variant) {
    case NetError::Peer:
    case NetError::Io: return std::string(error.message());
    case NetError::Common: return "common error";
    case NetError::Protocol: return "protocol error";
    case NetError::Closed: return "closed";
    case NetError::Timeout: return "timeout";
    case NetError::Noise: return "noise error";
  }
  return to_string(error);
}

Result<void> bt_check_file_paths(const std::vector<bittorrent::TorrentFile>& files) {
  // Every file's name as it lands on disk, with the first file that takes it.
  std::unordered_map<std::string, std::size_t> names;
  names.reserve(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    auto [it, fresh] = names.emplace(rel_path(files[i].path, files[i].path.size()), i);
    if (!fresh) {
      return fail(RouterError::Message,
                  msg("conflicting file paths in torrent: \"", shown_path(files[it->second].path), "\" and \"",
                      shown_path(files[i].path), "\" are both written as \"", it->first, "\""));
    }
  }
  for (const bittorrent::TorrentFile& file : files) {
    for (std::size_t depth = 1; depth < file.path.size(); ++depth) {
      auto it = names.find(rel_path(file.path, depth));
      if (it == names.end()) continue;
      return fail(RouterError::Message, msg("conflicting file paths in torrent: \"", shown_path(files[it->second].path),
                                            "\" is a file, but \"", shown_path(file.path), "\" needs it as a folder"));
    }
  }
  return {};
}

}  // namespace router
