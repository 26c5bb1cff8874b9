#pragma once
// What the client services wait for on their local sockets, for a loop that waits on all
// of its sockets at once: a socket is named only while an event on it would let a step
// make progress, so a client that is not read (one in STREAM ACCEPT, or a bridge side
// whose queue onwards is full) never wakes the loop.
#include <vector>

#include "router/router.h"

namespace router {

struct SocketWant {
  int fd = -1;
  bool read = false;   // step_sam_clients or step_bridges would read it
  bool write = false;  // bytes are queued for it
  bool ready = false;  // read bytes already wait in the socket's own buffer
  bool bridge = false; // a side of a local bridge, else a SAM control connection
};

// Appends the wants of every open SAM client and every local bridge.
void append_client_socket_wants(const Router& r, std::vector<SocketWant>& out);

}  // namespace router
