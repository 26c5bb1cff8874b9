#pragma once
// Helpers shared by the glue's source files; not for callers of the glue.
#include <cstdint>

namespace ntcp2_net::glue_detail {

// Replaces the last-error text (cut to 255 bytes; nullptr gives an empty text).
void set_error(const char* text);
// Replaces the last-error text by the system library's text for an error number.
void set_errno_error(int err);

// Copies a byte string of min_len..max_len bytes into out (max_len + 1 bytes) and
// NUL-terminates it. False when the length is out of bounds, the pointer is missing,
// or the bytes hold a NUL (which would silently cut the string).
bool copy_arg(const std::uint8_t* bytes, std::int32_t len, std::int32_t min_len, std::int32_t max_len, char* out);

inline constexpr std::int32_t kMaxHostLen = 255;
inline constexpr std::int32_t kMaxPathLen = 1023;
inline constexpr std::int32_t kMinUrlLen = 9;
inline constexpr std::int32_t kMaxUrlLen = 1023;

}  // namespace ntcp2_net::glue_detail
