#pragma once
// Finding an item of the open archive by name.
#include <cstddef>
#include <cstdint>

#include "updater/vpk_archive.h"

// Parses the index on first use (an invalid index gives null, and the next call tries
// again) and looks the name up, byte for byte. A non-empty item is handed out once per
// opened archive: a name found before, or an item whose content overlaps one handed out
// before, gives null with "ERROR: file content collision in vpk_find_item()". An empty
// item can be found any number of times. Null also for an absent name or no memory.
VpkItem* vpk_find_item(VpkArchive* archive, const char* name);

// A well-mixed 64-bit hash of the name's bytes; its low byte picks the item's bucket.
std::uint64_t hash_item_name(const char* name, std::size_t length);
