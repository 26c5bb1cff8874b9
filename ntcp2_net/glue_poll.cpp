// One wait over many descriptors, for the router's single loop.
#include <poll.h>

#include <cerrno>
#include <cstdlib>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/glue_detail.h"

using ntcp2_net::glue_detail::set_errno_error;
using ntcp2_net::glue_detail::set_error;

namespace {

constexpr std::int32_t kMaxPollCount = 65536;
// The sets of a small router fit on the stack; larger ones take the heap for the call.
constexpr std::int32_t kStackPollCount = 256;

constexpr std::int32_t kReadable = 1;
constexpr std::int32_t kWritable = 2;
constexpr std::int32_t kFailed = 4;
constexpr std::int32_t kNotOpen = 8;

short to_poll_events(std::int32_t mask) {
  short events = 0;
  if (mask & kReadable) events |= POLLIN;
  if (mask & kWritable) events |= POLLOUT;
  return events;
}

std::int32_t from_poll_events(short revents) {
  std::int32_t mask = 0;
  if (revents & POLLIN) mask |= kReadable;
  if (revents & POLLOUT) mask |= kWritable;
  if (revents & (POLLERR | POLLHUP)) mask |= kFailed;
  if (revents & POLLNVAL) mask |= kNotOpen;
  return mask;
}

}  // namespace

extern "C" std::int32_t ondrel_i2p_net_poll_many(const std::int32_t* fds, const std::int32_t* events,
                                                 std::int32_t* revents, std::int32_t count, std::int32_t timeout_ms) {
  if (count < 0 || count > kMaxPollCount ||
      (count > 0 && (fds == nullptr || events == nullptr || revents == nullptr))) {
    set_error("invalid poll arguments");
    return -1;
  }
  pollfd on_stack[kStackPollCount];
  pollfd* set = on_stack;
  if (count > kStackPollCount) {
    set = static_cast<pollfd*>(std::malloc(sizeof(pollfd) * static_cast<std::size_t>(count)));
    if (set == nullptr) {
      set_errno_error(ENOMEM);
      return -1;
    }
  }
  for (std::int32_t i = 0; i < count; ++i) {
    // poll skips a negative descriptor and reports nothing for it.
    set[i] = pollfd{fds[i] < 0 ? -1 : fds[i], to_poll_events(events[i]), 0};
  }
  const int rc = poll(set, static_cast<nfds_t>(count), timeout_ms < 0 ? -1 : timeout_ms);
  const int err = errno;
  for (std::int32_t i = 0; i < count; ++i) revents[i] = rc > 0 ? from_poll_events(set[i].revents) : 0;
  if (set != on_stack) std::free(set);
  if (rc < 0) {
    if (err == EINTR) return 0;
    set_errno_error(err);
    return -1;
  }
  return rc;
}
