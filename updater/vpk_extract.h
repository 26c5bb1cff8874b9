#pragma once
// Decoding an archive item into an open file.
#include <cstdint>
#include <cstdio>

#include "updater/updater_error.h"
#include "updater/vpk_archive.h"

// The decoder's memory limit: a 64 MiB dictionary (67,174,456 bytes of decoder state)
// fits, the next dictionary size (96 MiB) does not.
inline constexpr std::uint64_t kVpkDecoderMemLimit = 66ull << 20;

// Decodes the item of the open archive, one XZ stream, into out. Integrity checks other
// than none, CRC32 and CRC64 are refused; bytes after the end of the stream are ignored.
// 0; 39 when the decoder cannot be set up or the stream does not decode (corrupt,
// truncated, unsupported options or check, dictionary above the limit); 40 for an empty
// item; 6 when its bytes lie outside the archive or no archive is open; 11 when the decoder
// runs out of memory; 70 for a short write.
UpdaterError vpk_extract_item(const VpkItem* item, std::FILE* out);
