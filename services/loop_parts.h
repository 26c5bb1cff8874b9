#pragma once
// The client services' part of the loop (router/loop_parts.h): the timers of the streams,
// the HTTP proxy and the remote bridges end the loop's wait, and the wait watches the local
// sockets of SAM clients, bridges and proxy connections.
#include "encoding/error.h"

namespace router {

struct Router;

// Adds the client services' part to the router's loop once; fails only when the router's
// table of loop parts is full.
Result<void> add_services_loop_parts(Router& r);

}  // namespace router
