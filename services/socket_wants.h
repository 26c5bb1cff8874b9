#pragma once
// What the client services wait for on their local sockets, for a loop that waits on all
// of its sockets at once: a socket is named only while an event on it would let a step
// make progress, so a client that is not read (one in STREAM ACCEPT, or a bridge side
// whose queue onwards is full) never wakes the loop.
#include <cstdint>
#include <vector>

#include "router/router.h"

namespace router {

enum class SocketOwner : std::uint8_t { SamClient, Bridge, RemoteBridge, HttpProxyConn };

struct SocketWant {
  int fd = -1;
  bool read = false;   // step_sam_clients or step_bridges would read it
  bool write = false;  // bytes are queued for it
  bool ready = false;  // read bytes already wait in the socket's own buffer
  SocketOwner owner = SocketOwner::SamClient;
};

// Appends the wants of every open SAM client, every local and remote bridge and every
// HTTP proxy connection.
void append_client_socket_wants(const Router& r, std::vector<SocketWant>& out);

}  // namespace router
