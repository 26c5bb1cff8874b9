#pragma once
// HELLO VERSION: the client names the range of protocol versions it speaks (MIN and MAX,
// both optional) and the bridge answers the highest version it speaks within that range.
//
// A version is one to four decimal numbers joined by dots, each of at most five digits;
// versions compare number by number from the left, a missing number counting as 0, so "3"
// is 3.0 and "3.1.0" is 3.1. Pure: no state.
#include <array>
#include <optional>
#include <string_view>

namespace sam {

// The versions this bridge speaks, oldest first. Only stream sessions exist in any of them.
inline constexpr std::array<std::string_view, 4> kBridgeVersions = {"3.0", "3.1", "3.2", "3.3"};

// The highest of kBridgeVersions at or above min and at or below max; a missing min is
// 3.0 and a missing max the highest version. None when no version lies in the range, or
// when min or max is not a version (the client cannot be told what it did not ask for).
std::optional<std::string_view> negotiate_version(std::optional<std::string_view> min,
                                                  std::optional<std::string_view> max);

}  // namespace sam
