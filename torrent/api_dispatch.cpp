// Checks and routing of one complete torrent API request.
#include <array>

#include "encoding/text.h"
#include "router/router.h"
#include "torrent/api_documents.h"
#include "torrent/api_endpoints.h"
#include "torrent/api_json.h"
#include "torrent/api_request.h"

namespace router {

namespace {

using PostEndpoint = ApiAnswer (*)(Router&, const ApiPost&, const Now&);

struct PostRoute {
  std::string_view path;
  PostEndpoint endpoint;
};

constexpr std::array<PostRoute, 6> kPostRoutes = {{
    {"/api/torrents/add", api_post_add},
    {"/api/torrents/magnet", api_post_magnet},
    {"/api/torrents/remove", api_post_remove},
    {"/api/torrents/pause", api_post_pause},
    {"/api/torrents/resume", api_post_resume},
    {"/api/dht/bootstrap", api_post_dht_bootstrap},
}};

ApiAnswer route(Router& router, TorrentApiConn& conn, const Now& now) {
  if (!api_is_loopback_host(conn.host)) return api_answer_error(403, "forbidden host header");
  if (conn.method == "OPTIONS") return ApiAnswer{204, "No Content", ""};
  if (conn.method == "GET") {
    if (conn.path == "/api/status") return ApiAnswer{200, "OK", router.build_api_status_json()};
    if (conn.path == "/api/torrents")
      return ApiAnswer{200, "OK", api_torrents_document(router.torrent_engine, kApiHeadRoom), kApiHeadRoom};
    if (conn.path == "/api/dht/nodes") return ApiAnswer{200, "OK", router.build_api_dht_nodes_json()};
    return api_answer_error(404, "unknown endpoint");
  }
  if (conn.method == "POST") {
    if (!conn.has_api_header) return api_answer_error(403, "missing X-Ondrel-I2P: 1 header");
    const auto text = encoding::utf8_bytes_to_string(conn.body);
    const ApiPost post{conn.content_type, conn.body, text ? std::string_view(*text) : std::string_view()};
    for (const PostRoute& r : kPostRoutes) {
      if (conn.path == r.path) return r.endpoint(router, post, now);
    }
    return api_answer_error(404, "unknown endpoint");
  }
  return api_answer_error(405, "method not allowed");
}

}  // namespace

ApiAnswer api_answer_error(int status, std::string_view text) {
  std::string_view reason = "OK";
  switch (status) {
    case 400: reason = "Bad Request"; break;
    case 403: reason = "Forbidden"; break;
    case 404: reason = "Not Found"; break;
    case 405: reason = "Method Not Allowed"; break;
    default: break;
  }
  return ApiAnswer{status, reason, api_json_err(text)};
}

void Router::dispatch_torrent_api_request(TorrentApiConn& conn, const Now& now) {
  if (conn.body.size() > static_cast<std::size_t>(conn.content_length)) {
    conn.body.resize(static_cast<std::size_t>(conn.content_length));
  }
  ApiAnswer answer = route(*this, conn, now);
  api_send_response(conn, answer.status, answer.reason, std::move(answer.body), now.mono_ms, answer.body_at);
}

}  // namespace router
