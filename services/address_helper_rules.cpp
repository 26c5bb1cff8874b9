#include "services/address_helper_rules.h"

#include <string>

#include "common/destination.h"
#include "common/hash.h"
#include "services/address_book.h"

namespace router {

namespace {

// The destination hash an address-book value stands for: a b32 address names it, a Base64
// Destination hashes to it; none for a value that is neither.
std::optional<common::Hash> value_hash(std::string_view value) {
  if (auto h = parse_b32_hash(value)) return h;
  auto dest = common::Destination::from_base64(value);
  if (!dest) return std::nullopt;
  return dest->keys_and_cert.hash();
}

HttpProxyError conflict(std::string_view host, const common::Hash& helper, std::string_view known) {
  return {409, "Conflict",
          "The address helper for " + std::string(host) + " points to " + helper.to_b32_address() +
              ", but the address book already maps " + std::string(host) + " to " + std::string(known) +
              ". The address book was not changed."};
}

}  // namespace

std::expected<AddressHelperAction, HttpProxyError> decide_address_helper(std::string_view host, std::string_view helper,
                                                                         std::optional<std::string_view> known) {
  auto dest = common::Destination::from_base64(helper);
  if (!dest) {
    return std::unexpected(
        HttpProxyError{400, "Bad Request", "Invalid Base64 I2P Destination in i2paddresshelper parameter."});
  }
  const common::Hash helper_hash = dest->keys_and_cert.hash();
  // A b32 host is its destination's hash: a helper can only agree with it.
  if (auto own = parse_b32_hash(host)) {
    if (*own == helper_hash) return AddressHelperAction::Redirect;
    return std::unexpected(conflict(host, helper_hash, own->to_b32_address()));
  }
  if (!known) return AddressHelperAction::Save;
  const auto known_hash = value_hash(*known);
  if (known_hash && *known_hash == helper_hash) return AddressHelperAction::Redirect;
  // An entry that names no destination at all is shown as it is written.
  return std::unexpected(conflict(host, helper_hash, known_hash ? known_hash->to_b32_address() : *known));
}

}  // namespace router
