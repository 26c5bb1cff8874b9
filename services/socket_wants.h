#pragma once
// What the client services wait for on their local sockets, for a loop that waits on all
// of its sockets at once: a socket is named only while an event on it would let a step
// make progress, so a client that is not read (one in STREAM ACCEPT, or a bridge side
// whose queue onwards is full) never wakes the loop.
#include <vector>

#include "router/loop_parts.h"
#include "router/router.h"

namespace router {

// Appends the wants of every open SAM client, every local and remote bridge and every
// HTTP proxy connection; a socket is read by step_sam_clients, step_bridges,
// step_remote_bridges or step_http_proxy.
void append_client_socket_wants(const Router& r, std::vector<SocketWant>& out);

}  // namespace router
