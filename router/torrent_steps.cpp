// The BitTorrent client as the router core calls it. The torrent engine is not built yet:
// enabling it prepares the download folder only, and its steps report no work.
#include <string>

#include "encoding/text.h"
#include "ntcp2_net/files.h"
#include "ntcp2_net/glue.h"
#include "router/router.h"

namespace router {

namespace {

std::string default_download_dir() {
  std::array<std::uint8_t, 1024> buf{};
  const std::int32_t n = ondrel_i2p_net_home_dir(buf.data(), static_cast<std::int32_t>(buf.size()));
  if (n <= 0) return "./downloads";
  return std::string(reinterpret_cast<const char*>(buf.data()), static_cast<std::size_t>(n)) +
         "/Downloads/ondrel-i2p";
}

}  // namespace

std::string torrent_b32_address(const std::vector<SamSession>& sessions) {
  for (const SamSession& s : sessions) {
    if (s.id == "__torrent__") return s.b32_address;
  }
  return "";
}

Result<void> Router::enable_torrent_engine(std::string_view download_dir, const Now&) {
  std::string folder(encoding::trim(download_dir));
  if (folder.empty()) folder = default_download_dir();
  if (auto made = ntcp2_net::mkdir_p(folder); !made) return wrap(RouterError::Net, std::move(made.error()));
  return {};
}

bool Router::step_torrent_engine(const Now&) { return false; }

}  // namespace router
