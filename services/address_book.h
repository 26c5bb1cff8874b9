#pragma once
// The address book's tables: host names mapped to b32 addresses or Base64 Destinations.
#include <optional>
#include <string_view>

#include "common/hash.h"
#include "router/router.h"

namespace router {

// The destination hash of a b32 address (52 Base32 letters followed by ".b32.i2p", any
// case), or none.
std::optional<common::Hash> parse_b32_hash(std::string_view text);

// The first entry named exactly `name` gets the value in place; otherwise the pair is
// appended.
void upsert_alias_entry(AliasTable& table, std::string_view name, std::string_view value);

// Removes every entry named exactly `name`, keeping the order of the rest.
void remove_alias_entry(AliasTable& table, std::string_view name);

}  // namespace router
