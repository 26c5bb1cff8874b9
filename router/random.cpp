#include "router/random.h"

#include <algorithm>

#include "ntcp2_net/random.h"

namespace router {

Result<Bytes> random_bytes(std::size_t n) {
  auto bytes = ntcp2_net::random_bytes(n);
  if (!bytes) return wrap(RouterError::Net, std::move(bytes.error()));
  return bytes;
}

Result<std::array<std::uint8_t, 32>> next_rand_32() {
  auto bytes = ntcp2_net::random_bytes(32);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  std::array<std::uint8_t, 32> out{};
  std::copy(bytes->begin(), bytes->end(), out.begin());
  return out;
}

Result<Bytes> non_zero_random_bytes() {
  auto bytes = ntcp2_net::random_bytes(1024);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  std::replace(bytes->begin(), bytes->end(), std::uint8_t{0}, std::uint8_t{1});
  return bytes;
}

}  // namespace router
