// Reseeding from SU3 bundles: a local file (--su3) or a download over HTTPS (--reseed and
// the built-in reseed servers).
#include <vector>

#include "common/su3.h"
#include "ntcp2_net/https.h"
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
  auto body = ntcp2_net::fetch_https(url, kReseedDownloadCapacity);
  if (!body) return wrap(RouterError::Net, std::move(body.error()));
  return load_reseed_su3_bytes(*body);
}

}  // namespace router
