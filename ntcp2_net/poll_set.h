#pragma once
// The descriptors one wait of the loop watches, each with what it waits for and a tag
// naming whose socket it is, and that wait.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "encoding/error.h"

namespace ntcp2_net {

struct PollSet {
  std::vector<std::int32_t> fds;
  std::vector<std::int32_t> events;   // 1 readable, 2 writable (the glue's mask)
  std::vector<std::int32_t> revents;  // what the last wait reported, per entry
  std::vector<std::uint8_t> tags;     // the caller's name for each entry
  // 1 where received bytes already wait in the socket's own buffer: the entry counts as
  // readable, and a wait with such an entry only looks.
  std::vector<std::uint8_t> buffered;

  // A descriptor to watch; a negative one, or one asked for nothing, is not added.
  void add(int fd, bool read, bool write, std::uint8_t tag, bool has_buffered = false);
  // Appends entry i of another set.
  void add_entry(const PollSet& from, std::size_t i);
  std::size_t size() const { return fds.size(); }
  void clear();

  // Waits up to timeout_ms (0 only looks; never without limit) for any entry; only looks
  // when an entry has buffered bytes. The number of entries that reported; NetError::Io
  // "poll failed: ".
  Result<std::size_t> wait(std::int32_t timeout_ms);

  // What entry i reported in the last wait: readable covers end of stream, a hang-up and a
  // failure, which a read then finds.
  bool readable(std::size_t i) const;
  bool writable(std::size_t i) const;
  bool reported(std::size_t i) const { return i < revents.size() && revents[i] != 0; }
};

}  // namespace ntcp2_net
