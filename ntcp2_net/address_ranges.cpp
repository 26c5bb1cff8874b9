#include "ntcp2_net/address_ranges.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

namespace ntcp2_net {
namespace {

struct Range4 {
  std::uint32_t base;
  int prefix;
};

constexpr std::uint32_t v4(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

// The IPv4 special-purpose registry, plus multicast and the deprecated 6to4 relay anycast.
constexpr Range4 kReserved4[] = {
    {v4(0, 0, 0, 0), 8},        // "this network"
    {v4(10, 0, 0, 0), 8},       // private
    {v4(100, 64, 0, 0), 10},    // shared address space (carrier-grade NAT)
    {v4(127, 0, 0, 0), 8},      // loopback
    {v4(169, 254, 0, 0), 16},   // link-local
    {v4(172, 16, 0, 0), 12},    // private
    {v4(192, 0, 0, 0), 24},     // IETF protocol assignments
    {v4(192, 0, 2, 0), 24},     // documentation (TEST-NET-1)
    {v4(192, 88, 99, 0), 24},   // 6to4 relay anycast
    {v4(192, 168, 0, 0), 16},   // private
    {v4(198, 18, 0, 0), 15},    // benchmarking
    {v4(198, 51, 100, 0), 24},  // documentation (TEST-NET-2)
    {v4(203, 0, 113, 0), 24},   // documentation (TEST-NET-3)
    {v4(224, 0, 0, 0), 4},      // multicast
    {v4(240, 0, 0, 0), 4},      // reserved, limited broadcast included
};

bool reserved4(std::uint32_t address) {
  return std::any_of(std::begin(kReserved4), std::end(kReserved4), [&](const Range4& r) {
    const std::uint32_t mask = r.prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - r.prefix);
    return (address & mask) == r.base;
  });
}

using Bytes16 = std::array<std::uint8_t, 16>;

struct Range6 {
  Bytes16 base;
  int prefix;
};

bool in_range6(const Bytes16& a, const Range6& r) {
  for (int bit = 0; bit < r.prefix; bit += 8) {
    const int bits = std::min(8, r.prefix - bit);
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - bits));
    const auto i = static_cast<std::size_t>(bit / 8);
    if ((a[i] & mask) != (r.base[i] & mask)) return false;
  }
  return true;
}

// Inside global unicast (2000::/3), the blocks the registry keeps from global use; the
// transition blocks are refused too, since they carry an IPv4 address a relay would reach.
const Range6 kReserved6InGlobal[] = {
    {{0x20, 0x01}, 23},              // IETF protocol assignments (Teredo, benchmarking, ORCHID)
    {{0x20, 0x01, 0x0d, 0xb8}, 32},  // documentation
    {{0x20, 0x02}, 16},              // 6to4
    {{0x3f, 0xff}, 20},              // documentation
};

std::optional<std::uint32_t> parse4(const char* text) {
  in_addr a{};
  if (inet_pton(AF_INET, text, &a) != 1) return std::nullopt;
  return ntohl(a.s_addr);
}

std::optional<Bytes16> parse6(const char* text) {
  Bytes16 a{};
  if (inet_pton(AF_INET6, text, a.data()) != 1) return std::nullopt;
  return a;
}

bool reserved6(const Bytes16& a) {
  // IPv4-mapped ::ffff:a.b.c.d is the IPv4 address itself.
  const bool mapped =
      std::all_of(a.begin(), a.begin() + 10, [](std::uint8_t b) { return b == 0; }) && a[10] == 0xFF && a[11] == 0xFF;
  if (mapped) return reserved4(v4(a[12], a[13], a[14], a[15]));
  // Only global unicast is dialled: loopback, unspecified, IPv4-compatible, NAT64, discard,
  // unique-local, link-local and multicast all lie outside 2000::/3.
  if ((a[0] & 0xE0) != 0x20) return true;
  return std::any_of(std::begin(kReserved6InGlobal), std::end(kReserved6InGlobal),
                     [&](const Range6& r) { return in_range6(a, r); });
}

// host copied into a NUL-terminated buffer; none when it cannot be an address.
std::optional<std::array<char, 64>> c_text(std::string_view host) {
  if (host.empty() || host.size() >= 64 || host.find('\0') != std::string_view::npos) return std::nullopt;
  std::array<char, 64> out{};
  std::copy(host.begin(), host.end(), out.begin());
  return out;
}

}  // namespace

bool is_reserved_address(std::string_view host) {
  const auto text = c_text(host);
  if (!text) return false;
  if (auto a = parse4(text->data())) return reserved4(*a);
  if (auto a = parse6(text->data())) return reserved6(*a);
  return false;
}

bool is_public_address(std::string_view host) {
  const auto text = c_text(host);
  if (!text) return false;
  if (auto a = parse4(text->data())) return !reserved4(*a);
  if (auto a = parse6(text->data())) return !reserved6(*a);
  return false;
}

}  // namespace ntcp2_net
