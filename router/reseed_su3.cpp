// Reseeding from SU3 bundles (local files and HTTPS downloads). Reading SU3 bundles is not
// built yet: both operations fail, and start-up reports each source as failed.
#include "router/router.h"

namespace router {

Result<std::size_t> Router::load_reseed_su3_bytes(ByteView) {
  return fail(RouterError::Message, "SU3 reseed bundles are not supported yet");
}

Result<std::size_t> Router::reseed_from_url(std::string_view) {
  return fail(RouterError::Message, "SU3 reseed bundles are not supported yet");
}

}  // namespace router
