#pragma once
// The router's id counters (I2NP message ids, tunnel ids, first local stream ids) and
// the rotation counters that choose among candidates round-robin.
#include <cstddef>
#include <cstdint>

#include "encoding/bytes.h"

namespace router {

// The first 4 bytes read big-endian with the top bit cleared (0..0x7FFFFFFF). Callers
// always pass at least 4 bytes.
std::uint32_t u32_from_be_prefix(ByteView bytes);

// Takes an id from a counter: the counter's value, or 1 when it holds 0; the counter then
// holds id + 1 (wrapping to 0 after 0xFFFFFFFF). An id of 0 is never handed out.
std::uint32_t take_id(std::uint32_t& counter);

// Picks an index among n candidates (n >= 1): counter modulo n (a negative counter counts
// as 0); the counter then advances, kept within 0..0x3FFFFFFF.
std::size_t take_rotation(std::int32_t& counter, std::size_t n);

struct IdCounters {
  std::uint32_t next_msg_id;
  std::uint32_t next_tunnel_id;
  std::uint32_t next_stream_id_seed;
};

// The start values from 12 random bytes: an odd message id, a tunnel id of 10000 or more
// and a stream id seed of 100 or more.
IdCounters id_counters_from_random(ByteView twelve_bytes);

}  // namespace router
