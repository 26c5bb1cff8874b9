// .torrent parsing of arbitrary bytes: no crash, and every torrent accepted keeps its
// promises: the info hash is the SHA-1 of the info bytes, which parse to the same torrent;
// every path segment is safe; the piece table fits the total length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "bittorrent/metainfo.h"
#include "crypto/sha1.h"
#include "fuzz/support/check.h"

using fuzz_support::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  auto meta = bittorrent::parse_torrent_file(in);
  auto info = bittorrent::parse_info_dict(in, {"x", "x", ""});
  if (info) check(info->trackers.size() == 1 && info->info_bytes.size() == size);
  if (!meta) return 0;
  check(meta->info_hash == crypto::sha1(meta->info_bytes));
  check(meta->piece_length > 0 && meta->piece_length <= bittorrent::max_piece_length);
  std::int64_t total = 0;
  for (const auto& f : meta->files) {
    check(f.length >= 0 && !f.path.empty() && f.path.front() == meta->name);
    for (const auto& segment : f.path) check(bittorrent::check_safe_path_segment(segment).has_value());
    total += f.length;
  }
  check(total == meta->total_length);
  const auto pieces = static_cast<std::int64_t>(meta->pieces.size());
  if (total == 0) {
    check(pieces == 0);
  } else {
    check((pieces - 1) * meta->piece_length < total && total <= pieces * meta->piece_length);
  }
  auto again = bittorrent::parse_info_dict(meta->info_bytes, meta->trackers);
  check(again.has_value() && again->info_hash == meta->info_hash && again->files == meta->files);
  return 0;
}
