#include "sam/version.h"

#include <cstdint>

namespace sam {

namespace {

constexpr std::size_t kMaxNumbers = 4;
constexpr std::size_t kMaxDigits = 5;

using Version = std::array<std::uint32_t, kMaxNumbers>;

std::optional<Version> parse_version(std::string_view text) {
  Version v{};
  std::size_t number = 0;
  std::size_t digits = 0;
  for (const char c : text) {
    if (c == '.') {
      if (digits == 0 || ++number == kMaxNumbers) return std::nullopt;
      digits = 0;
      continue;
    }
    if (c < '0' || c > '9' || ++digits > kMaxDigits) return std::nullopt;
    v[number] = v[number] * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (digits == 0) return std::nullopt;  // empty, or ends in a dot
  return v;
}

}  // namespace

std::optional<std::string_view> negotiate_version(std::optional<std::string_view> min,
                                                  std::optional<std::string_view> max) {
  const std::optional<Version> low = parse_version(min.value_or(kBridgeVersions.front()));
  const std::optional<Version> high = parse_version(max.value_or(kBridgeVersions.back()));
  if (!low || !high) return std::nullopt;
  for (auto it = kBridgeVersions.rbegin(); it != kBridgeVersions.rend(); ++it) {
    const Version v = *parse_version(*it);
    if (*low <= v && v <= *high) return *it;
  }
  return std::nullopt;
}

}  // namespace sam
