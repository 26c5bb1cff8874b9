#include "router/id_counters.h"

namespace router {

std::uint32_t u32_from_be_prefix(ByteView bytes) {
  const std::uint32_t v = static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
                          static_cast<std::uint32_t>(bytes[2]) << 8 | static_cast<std::uint32_t>(bytes[3]);
  return v & 0x7FFFFFFFu;
}

std::uint32_t take_id(std::uint32_t& counter) {
  const std::uint32_t id = counter == 0 ? 1 : counter;
  counter = id + 1;
  return id;
}

std::size_t take_rotation(std::int32_t& counter, std::size_t n) {
  // A counter that somehow went negative picks the first candidate rather than an index
  // derived from its two's-complement bits. The step is done unsigned so that no value of
  // the counter can overflow.
  const std::size_t index = counter < 0 ? 0 : static_cast<std::size_t>(counter) % n;
  counter = static_cast<std::int32_t>((static_cast<std::uint32_t>(counter) + 1u) & 0x3FFFFFFFu);
  return index;
}

IdCounters id_counters_from_random(ByteView twelve_bytes) {
  IdCounters c{};
  c.next_msg_id = u32_from_be_prefix(twelve_bytes.subspan(0, 4)) | 1u;
  c.next_tunnel_id = u32_from_be_prefix(twelve_bytes.subspan(4, 4)) % 0x0FFFFFFFu + 10000u;
  c.next_stream_id_seed = u32_from_be_prefix(twelve_bytes.subspan(8, 4)) % 0x0FFFFFFFu + 100u;
  return c;
}

}  // namespace router
