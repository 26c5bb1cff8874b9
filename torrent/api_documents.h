#pragma once
// The torrent list of the API, written straight into the buffer of the answer that carries
// it: it is the largest document and the one clients poll.
#include <cstddef>
#include <optional>
#include <string>

#include "common/hash.h"
#include "torrent/engine_records.h"

namespace router {

// Room left in front of the torrent list for the answer's head (status line and header
// lines), so that the head goes in without moving the document.
inline constexpr std::size_t kApiHeadRoom = 512;

// `room` blanks, then {"ok":true,"torrents":[...]}: one object per torrent in list order,
// with its peers. Without an engine the list is empty.
std::string api_torrents_document(const std::optional<TorrentEngine>& engine, std::size_t room);

// The first 16 characters of the hash's base32 address (the base32 of its first 10 bytes),
// written at out; returns the end.
char* api_put_short_b32(char* out, const common::Hash& hash);

}  // namespace router
