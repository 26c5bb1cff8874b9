#pragma once
// The signed update archive "update.vpk", held whole in memory.
//
// Layout (big-endian; offsets from the start of the file): "VPK1", index offset (u32),
// total size (u64), signature count (u32), the signature entries (algorithm id u32,
// length u32, bytes), the additional sections (count u32, then size u32 = 8 + payload,
// id u32, payload), the item contents, and at the index offset the index: its size (u32)
// and entries of content offset (u32), content length (u32), flags (u32, the mode an
// extracted file receives) and a NUL-terminated name. Each item is one XZ stream.
//
// One archive is open at a time, process-wide, used by the update thread alone. Every
// bound on archive bytes is checked in 64 bits; nothing here asserts, aborts or throws,
// and every allocation whose size comes from the archive may fail with a code.
// Messages go to the standard error stream.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "updater/updater_error.h"

// The largest archive accepted: 500 MiB.
inline constexpr std::uint64_t kVpkMaxSize = 524'288'000;
inline constexpr std::size_t kVpkBucketCount = 256;

// One named item of the index. The name follows the record in the same allocation.
struct VpkItem {
  VpkItem* next;  // next item in the same bucket
  std::uint32_t offset;
  std::uint32_t length;
  std::uint32_t flags;
  std::uint32_t name_length;  // bytes of the name, without its NUL

  const char* name() const { return reinterpret_cast<const char*>(this + 1); }
};

// The content range of an item already handed out by vpk_find_item.
struct VpkRange {
  VpkRange* next;
  std::uint32_t offset;
  std::uint32_t length;
};

struct VpkArchive {
  std::uint8_t* data;  // the whole file
  std::uint64_t size;  // bytes read
  VpkItem* buckets[kVpkBucketCount];
  VpkRange* ranges;
  int index_parsed;
  VpkItem* bucket_tails[kVpkBucketCount];  // items are appended in index order
};

// Opens "<patch_dir>/update.vpk", closing any archive open before. 0, 6 (cannot open, too
// large, unreadable) or 11 (no memory). A failed open leaves no archive open.
UpdaterError vpk_open(const char* patch_dir);

// The open archive, or null.
VpkArchive* vpk_archive();

// The two decoding buffers of the holder (null with size 0 when none could be had). They
// exist from a successful open until vpk_close.
struct VpkBuffers {
  std::uint8_t* in;
  std::size_t in_size;
  std::uint8_t* out;
  std::size_t out_size;
};
VpkBuffers vpk_buffers();

// Frees the open archive, its items and ranges, and both decoding buffers. Closing a closed
// holder does nothing; also run at process exit.
void vpk_close();

// Reads the 4- and 8-byte big-endian integers at p.
inline std::uint32_t vpk_read_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}
inline std::uint64_t vpk_read_u64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(vpk_read_u32(p)) << 32 | vpk_read_u32(p + 4);
}

// True when [offset, offset + length) lies inside the archive's size (computed in 64 bits).
inline bool vpk_fits(const VpkArchive* archive, std::uint64_t offset, std::uint64_t length) {
  return offset <= archive->size && length <= archive->size - offset;
}
