#include "ntcp2_net/poll_set.h"

#include <algorithm>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/os_error.h"

namespace ntcp2_net {

namespace {

constexpr std::int32_t kReadable = 1;
constexpr std::int32_t kWritable = 2;
constexpr std::int32_t kFailed = 4;
constexpr std::int32_t kNotOpen = 8;

}  // namespace

void PollSet::add(int fd, bool read, bool write, std::uint8_t tag, bool has_buffered) {
  if (fd < 0 || (!read && !write)) return;
  fds.push_back(fd);
  events.push_back((read ? kReadable : 0) | (write ? kWritable : 0));
  revents.push_back(0);
  tags.push_back(tag);
  buffered.push_back(has_buffered && read ? 1 : 0);
}

void PollSet::add_entry(const PollSet& from, std::size_t i) {
  fds.push_back(from.fds[i]);
  events.push_back(from.events[i]);
  revents.push_back(0);
  tags.push_back(from.tags[i]);
  buffered.push_back(from.buffered[i]);
}

void PollSet::clear() {
  fds.clear();
  events.clear();
  revents.clear();
  tags.clear();
  buffered.clear();
}

Result<std::size_t> PollSet::wait(std::int32_t timeout_ms) {
  std::fill(revents.begin(), revents.end(), 0);
  const bool any_buffered = std::find(buffered.begin(), buffered.end(), 1) != buffered.end();
  const std::int32_t timeout = any_buffered ? 0 : std::max<std::int32_t>(timeout_ms, 0);
  const std::int32_t n = ondrel_i2p_net_poll_many(fds.data(), events.data(), revents.data(),
                                                  static_cast<std::int32_t>(fds.size()), timeout);
  if (n < 0) return fail(NetError::Io, msg("poll failed: ", last_os_error()));
  if (!any_buffered) return static_cast<std::size_t>(n);
  std::size_t count = 0;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (buffered[i]) revents[i] |= kReadable;
    if (revents[i] != 0) ++count;
  }
  return count;
}

bool PollSet::readable(std::size_t i) const {
  return i < revents.size() && (revents[i] & (kReadable | kFailed | kNotOpen)) != 0;
}

bool PollSet::writable(std::size_t i) const {
  return i < revents.size() && (revents[i] & (kWritable | kFailed | kNotOpen)) != 0;
}

}  // namespace ntcp2_net
