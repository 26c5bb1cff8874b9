#pragma once
// One torrent of the engine's registry. Only what piece storage reads is here so far: the
// folder its files are written under and its metainfo, none while a magnet link has not
// brought it yet.
#include <optional>
#include <string>

#include "bittorrent/metainfo.h"

namespace router {

struct ActiveTorrent {
  std::string download_dir;
  std::optional<bittorrent::TorrentMeta> meta;
};

}  // namespace router
