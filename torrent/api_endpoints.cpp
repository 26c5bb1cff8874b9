// The POST endpoints of the torrent API.
#include "torrent/api_endpoints.h"

#include "torrent/api_json.h"

namespace router {

std::uint32_t api_bootstrap_port(std::string_view text) {
  constexpr std::string_view kKey = "\"port\"";
  std::size_t from = 0;
  for (;;) {
    const std::size_t at = text.find(kKey, from);
    if (at == std::string_view::npos) return 6881;
    from = at + 1;
    std::size_t i = at + kKey.size();
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i >= text.size() || text[i] != ':') continue;
    ++i;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    const std::size_t digits_from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == digits_from) continue;
    const std::int64_t value = api_parse_decimal(text.substr(digits_from, i - digits_from));
    return value >= 1 && value <= 65535 ? static_cast<std::uint32_t>(value) : 6881;
  }
}

ApiAnswer api_post_add(Router&, const ApiPost&, const Now&) { return api_answer_error(400, "torrent engine unavailable"); }
ApiAnswer api_post_magnet(Router&, const ApiPost& post, const Now&) {
  if (!api_json_get_string(post.text, "uri")) return api_answer_error(400, "missing magnet uri");
  return api_answer_error(400, "torrent engine unavailable");
}
ApiAnswer api_post_remove(Router&, const ApiPost&, const Now&) { return api_answer_error(404, "torrent not found"); }
ApiAnswer api_post_pause(Router&, const ApiPost&, const Now&) { return api_answer_error(404, "torrent not found"); }
ApiAnswer api_post_resume(Router&, const ApiPost&, const Now&) { return api_answer_error(404, "torrent not found"); }
ApiAnswer api_post_dht_bootstrap(Router&, const ApiPost&, const Now&) { return api_answer_error(400, "invalid bootstrap b32/hash"); }

}  // namespace router
