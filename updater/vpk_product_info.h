#pragma once
// The product-information block of an archive: the first additional section, id 1,
// holding the channel name and the product version, each NUL-terminated.
#include "updater/vpk_archive.h"

inline constexpr std::uint32_t kVpkProductInfoSectionId = 1;
inline constexpr std::uint32_t kVpkMaxSectionPayload = 96;

struct VpkProductInfo {
  char channel[64];  // at most 63 characters
  char version[32];  // at most 31 characters
};

// 0 with both texts copied into info; -1 when there is no archive, no additional section
// (the first item's content starts right after the signature block), or the first section
// is not a well-formed product-information block. Every read is bounded by the archive.
int vpk_read_product_info(const VpkArchive* archive, VpkProductInfo* info);
