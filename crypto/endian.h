#pragma once
// Fixed-width word loads and stores in both byte orders, for the ciphers and hashes.
// Callers guarantee the buffer holds the bytes touched.
#include <cstdint>

namespace crypto {

inline std::uint32_t read_u32_le(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::uint64_t read_u64_le(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(read_u32_le(p)) | static_cast<std::uint64_t>(read_u32_le(p + 4)) << 32;
}

inline std::uint32_t read_u32_be(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

inline std::uint64_t read_u64_be(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(read_u32_be(p)) << 32 | static_cast<std::uint64_t>(read_u32_be(p + 4));
}

inline void write_u32_le(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

inline void write_u64_le(std::uint8_t* p, std::uint64_t v) {
  write_u32_le(p, static_cast<std::uint32_t>(v));
  write_u32_le(p + 4, static_cast<std::uint32_t>(v >> 32));
}

inline void write_u32_be(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

inline void write_u64_be(std::uint8_t* p, std::uint64_t v) {
  write_u32_be(p, static_cast<std::uint32_t>(v >> 32));
  write_u32_be(p + 4, static_cast<std::uint32_t>(v));
}

}  // namespace crypto
