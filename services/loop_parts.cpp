#include "services/loop_parts.h"

#include <algorithm>

#include "router/loop_parts.h"
#include "router/router.h"
#include "services/socket_wants.h"
#include "services/wake_deadlines.h"

namespace router {

namespace {

std::uint64_t next_services_wake_ms(const Router& r, const Now& now) {
  return std::min({next_streams_wake_ms(r, now), next_http_proxy_wake_ms(r, now), next_remote_bridges_wake_ms(r, now)});
}

}  // namespace

Result<void> add_services_loop_parts(Router& r) {
  return add_loop_part(r, LoopPart{&next_services_wake_ms, &append_client_socket_wants});
}

}  // namespace router
