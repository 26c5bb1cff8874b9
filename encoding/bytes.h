#pragma once
// Byte strings as the router passes them around.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// An owned byte string.
using Bytes = std::vector<std::uint8_t>;
// A borrowed, read-only view of bytes.
using ByteView = std::span<const std::uint8_t>;

inline ByteView as_bytes(std::string_view s) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}
inline Bytes to_bytes(std::string_view s) {
  ByteView v = as_bytes(s);
  return Bytes(v.begin(), v.end());
}
