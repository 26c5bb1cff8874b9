// The POST endpoints of the torrent API.
#include "torrent/api_endpoints.h"

#include "encoding/text.h"
#include "services/address_book.h"
#include "torrent/api_json.h"
#include "torrent/engine.h"

namespace router {

std::uint32_t api_bootstrap_port(std::string_view text) {
  // Only blanks and tabs may stand around the colon of this member.
  ApiJsonMembers members(text, "port", " \t");
  while (const auto at = members.next()) {
    std::size_t i = *at;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == *at) continue;
    const std::int64_t value = api_parse_decimal(text.substr(*at, i - *at));
    return value >= 1 && value <= 65535 ? static_cast<std::uint32_t>(value) : 6881;
  }
  return 6881;
}

namespace {

ApiAnswer done() { return ApiAnswer{200, "OK", R"({"ok":true})"}; }

ApiAnswer added(std::string_view info_hash_hex) {
  return ApiAnswer{
      200, "OK",
      ApiJsonWriter().begin_object().boolean("ok", true).raw("info_hash", info_hash_hex).end_object().take()};
}

std::string member_or_empty(std::string_view text, std::string_view key) {
  return api_json_get_string(text, key).value_or("");
}

}  // namespace

ApiAnswer api_post_add(Router& router, const ApiPost& post, const Now& now) {
  const bool json_mode = post.content_type.find("application/json") != std::string_view::npos ||
                         (!post.body.empty() && post.body.front() == '{');
  Bytes decoded;
  ByteView file = post.body;
  if (json_mode) {
    const auto b64 = api_json_get_string(post.text, "torrent_b64");
    if (!b64) return api_answer_error(400, "missing torrent_b64");
    auto bytes = api_decode_base64_flexible(*b64);
    if (!bytes) return api_answer_error(400, "invalid torrent_b64");
    decoded = std::move(*bytes);
    file = decoded;
  }
  auto hex = router.add_torrent_bytes(file, member_or_empty(post.text, "download_dir"), now);
  if (!hex) return api_answer_error(400, api_router_err_msg(hex.error()));
  return added(*hex);
}

ApiAnswer api_post_magnet(Router& router, const ApiPost& post, const Now& now) {
  const auto uri = api_json_get_string(post.text, "uri");
  if (!uri) return api_answer_error(400, "missing magnet uri");
  auto hex = router.add_torrent_magnet(*uri, member_or_empty(post.text, "download_dir"), now);
  if (!hex) return api_answer_error(400, api_router_err_msg(hex.error()));
  return added(*hex);
}

ApiAnswer api_post_remove(Router& router, const ApiPost& post, const Now& now) {
  if (!router.remove_torrent(member_or_empty(post.text, "info_hash"), now)) {
    return api_answer_error(404, "torrent not found");
  }
  return done();
}

ApiAnswer api_post_pause(Router& router, const ApiPost& post, const Now& now) {
  if (!router.pause_torrent(member_or_empty(post.text, "info_hash"), now)) {
    return api_answer_error(404, "torrent not found");
  }
  return done();
}

// Resuming is done here: the engine's next passes dial peers again, and the cleared times
// make the DHT search and every tracker announce at once.
ApiAnswer api_post_resume(Router& router, const ApiPost& post, const Now&) {
  ActiveTorrent* torrent = router.torrent_engine
                               ? bt_find_torrent_by_hex(*router.torrent_engine, member_or_empty(post.text, "info_hash"))
                               : nullptr;
  if (torrent == nullptr) return api_answer_error(404, "torrent not found");
  torrent->paused = false;
  torrent->last_get_peers_ms = 0;
  for (TorrentTrackerConn& tracker : torrent->trackers) tracker.next_announce_ms = 0;
  return done();
}

ApiAnswer api_post_dht_bootstrap(Router& router, const ApiPost& post, const Now& now) {
  const std::uint32_t port = api_bootstrap_port(post.text);
  const auto hash = router.resolve_i2p_host_hash(member_or_empty(post.text, "b32"), now);
  if (!hash) return api_answer_error(400, "invalid bootstrap b32/hash");
  const bool queued = router.torrent_engine && router.enqueue_dht_bootstrap(*router.torrent_engine, *hash, port, now);
  return ApiAnswer{200, "OK",
                   ApiJsonWriter()
                       .begin_object()
                       .boolean("ok", queued)
                       .raw("b32", hash->to_b32_address())
                       .number("port", port)
                       .end_object()
                       .take()};
}

}  // namespace router
