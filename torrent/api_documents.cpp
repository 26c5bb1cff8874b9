// The GET documents of the torrent API.
#include "router/router.h"
#include "torrent/api_json.h"

namespace router {

std::string Router::build_api_status_json() const {
  return api_json_err("torrent engine not initialized");
}

std::string Router::build_api_torrents_json(const std::optional<TorrentEngine>&) const {
  return ApiJsonWriter().begin_object().boolean("ok", true).key("torrents").begin_array().end_array().end_object().take();
}

std::string Router::build_api_dht_nodes_json() const {
  return ApiJsonWriter().begin_object().boolean("ok", true).key("nodes").begin_array().end_array().end_object().take();
}

}  // namespace router
