#pragma once
// The torrent engine's part of the loop (router/loop_parts.h): the engine's timers and the
// time limits of the API's connections end the loop's wait, and the wait watches the API's
// connections.
#include "encoding/error.h"

namespace router {

struct Router;

// Adds the torrent engine's part to the router's loop once; fails only when the router's
// table of loop parts is full.
Result<void> add_torrent_loop_parts(Router& r);

}  // namespace router
