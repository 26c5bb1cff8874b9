#include "updater/vpk_index.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Offset, length and flags, then at least one name byte and its NUL.
constexpr std::uint64_t kMinEntrySize = 14;

void drop_items(VpkArchive* archive) {
  for (std::size_t b = 0; b < kVpkBucketCount; ++b) {
    VpkItem* item = archive->buckets[b];
    while (item != nullptr) {
      VpkItem* next = item->next;
      std::free(item);
      item = next;
    }
    archive->buckets[b] = nullptr;
    archive->bucket_tails[b] = nullptr;
  }
}

bool add_item(VpkArchive* archive, const std::uint8_t* entry, const char* name, std::size_t name_length) {
  void* mem = std::malloc(sizeof(VpkItem) + name_length + 1);
  if (mem == nullptr) return false;
  auto* item = new (mem) VpkItem{nullptr, vpk_read_u32(entry), vpk_read_u32(entry + 4), vpk_read_u32(entry + 8),
                                 static_cast<std::uint32_t>(name_length)};
  char* stored = reinterpret_cast<char*>(item + 1);
  std::memcpy(stored, name, name_length);
  stored[name_length] = '\0';

  std::size_t bucket = hash_item_name(name, name_length) & 0xFF;
  if (archive->bucket_tails[bucket] == nullptr) {
    archive->buckets[bucket] = item;
  } else {
    archive->bucket_tails[bucket]->next = item;
  }
  archive->bucket_tails[bucket] = item;
  return true;
}

// Builds the buckets from the index; false (and no items) when the index is invalid or
// memory ran out.
bool parse_index(VpkArchive* archive) {
  const std::uint64_t size = archive->size;
  if (size < 8 || std::memcmp(archive->data, "VPK1", 4) != 0) return false;
  const std::uint64_t index_offset = vpk_read_u32(archive->data + 4);
  if (index_offset > size - 4) return false;
  const std::uint64_t index_size = vpk_read_u32(archive->data + index_offset);
  if (index_size > size - index_offset - 4) return false;

  const std::uint8_t* index = archive->data + index_offset + 4;
  std::uint64_t pos = 0;
  while (index_size - pos >= kMinEntrySize) {
    const std::uint8_t* entry = index + pos;
    const char* name = reinterpret_cast<const char*>(entry + 12);
    const std::uint64_t room = index_size - pos - 12;
    const void* nul = std::memchr(name, '\0', room);
    if (nul == nullptr) {
      drop_items(archive);
      return false;
    }
    const std::size_t name_length = static_cast<std::size_t>(static_cast<const char*>(nul) - name);
    if (!add_item(archive, entry, name, name_length)) {
      drop_items(archive);
      return false;
    }
    pos += 12 + name_length + 1;
  }
  if (pos != index_size) {
    drop_items(archive);
    return false;
  }
  return true;
}

bool overlaps(std::uint64_t a_start, std::uint64_t a_length, std::uint64_t b_start, std::uint64_t b_length) {
  return a_start < b_start + b_length && b_start < a_start + a_length;
}

}  // namespace

std::uint64_t hash_item_name(const char* name, std::size_t length) {
  // FNV-1a over the bytes, then a 64-bit finaliser so that the low byte depends on all of them.
  std::uint64_t h = 0xCBF29CE484222325ull;
  for (std::size_t i = 0; i < length; ++i) {
    h ^= static_cast<unsigned char>(name[i]);
    h *= 0x100000001B3ull;
  }
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return h;
}

VpkItem* vpk_find_item(VpkArchive* archive, const char* name) {
  if (archive == nullptr || name == nullptr) return nullptr;
  if (archive->index_parsed == 0) {
    if (!parse_index(archive)) return nullptr;
    archive->index_parsed = 1;
  }

  const std::size_t length = std::strlen(name);
  VpkItem* item = archive->buckets[hash_item_name(name, length) & 0xFF];
  while (item != nullptr && (item->name_length != length || std::memcmp(item->name(), name, length) != 0)) {
    item = item->next;
  }
  if (item == nullptr || item->length == 0) return item;

  for (const VpkRange* r = archive->ranges; r != nullptr; r = r->next) {
    if (overlaps(item->offset, item->length, r->offset, r->length)) {
      std::fprintf(stderr, "ERROR: file content collision in vpk_find_item()\n");
      return nullptr;
    }
  }
  auto* range = new (std::nothrow) VpkRange{nullptr, item->offset, item->length};
  if (range == nullptr) return nullptr;
  // Appended at the end so the list keeps the order in which items were handed out.
  VpkRange** tail = &archive->ranges;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = range;
  return item;
}
