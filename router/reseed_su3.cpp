// Reseeding from SU3 bundles: a local file (--su3) or a download over HTTPS (--reseed and
// the built-in reseed servers).
#include <vector>

#include "common/su3.h"
#include "encoding/text.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/os_error.h"
#include "router/router.h"

namespace router {

namespace {

// A reseed bundle holds a few hundred RouterInfos; anything larger is not one.
constexpr std::size_t kReseedDownloadCapacity = 2097152;

}  // namespace

Result<std::size_t> Router::load_reseed_su3_bytes(ByteView su3) {
  auto infos = common::parse_reseed_su3(su3);
  if (!infos) return wrap(RouterError::Common, std::move(infos.error()));
  std::size_t stored = 0;
  for (common::RouterInfo& info : *infos) {
    // An error here is a RouterInfo that fails verification: it is skipped.
    if (auto added = netdb.store_router_info(std::move(info)); added && *added) ++stored;
  }
  return stored;
}

Result<std::size_t> Router::reseed_from_url(std::string_view url) {
  const Bytes url_bytes = encoding::string_to_utf8_bytes(url);
  std::vector<std::uint8_t> body(kReseedDownloadCapacity);
  const std::int32_t n = ondrel_i2p_net_fetch_https(url_bytes.data(), static_cast<std::int32_t>(url_bytes.size()),
                                                    body.data(), static_cast<std::int32_t>(body.size()));
  if (n < 0) {
    return fail(RouterError::Net,
                Error(NetError::Io, msg("https fetch(", url, ") failed: ", ntcp2_net::last_os_error())));
  }
  return load_reseed_su3_bytes(ByteView(body.data(), static_cast<std::size_t>(n)));
}

}  // namespace router
