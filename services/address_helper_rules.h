#pragma once
// What an address-helper link (http://name.i2p/?i2paddresshelper=<Destination>) may do to
// the address book.
//
// Any page can link to such a URL, so a helper is trusted only to introduce a name the
// user does not have yet. It never re-points a name the address book already holds, nor a
// b32 address, which is the hash of its own destination. The service loop looks up the
// host's entry (its value in `Router.dest_aliases` or `Router.b32_aliases`, none without
// one) and calls decide_address_helper:
//   Save      register_alias(host, helper), then redirect to the location;
//   Redirect  redirect to the location, the address book unchanged;
//   error     send that page (400 for a helper that is no Destination, 409 for one that
//             contradicts the known destination) and change nothing.
#include <expected>
#include <optional>
#include <string_view>

#include "services/http_proxy_request.h"

namespace router {

enum class AddressHelperAction { Save, Redirect };

// host: the request's host (lower case); helper: the decoded helper value; known: the value
// the address book holds for host (a b32 address or a Base64 Destination), none when it
// holds nothing.
std::expected<AddressHelperAction, HttpProxyError> decide_address_helper(std::string_view host, std::string_view helper,
                                                                         std::optional<std::string_view> known);

}  // namespace router
