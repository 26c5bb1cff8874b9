#include "updater/vpk_product_info.h"

#include <cstring>

#include "updater/vpk_signature.h"

namespace {

constexpr std::uint64_t kSectionHeaderSize = 8;

}  // namespace

int vpk_read_product_info(const VpkArchive* archive, VpkProductInfo* info) {
  if (archive == nullptr || info == nullptr || archive->size < 8) return -1;
  const std::uint8_t* data = archive->data;

  // The first index entry's content offset marks where the additional sections end.
  const std::uint64_t index_offset = vpk_read_u32(data + 4);
  if (!vpk_fits(archive, index_offset, 8)) return -1;
  const std::uint64_t first_content = vpk_read_u32(data + index_offset + 4);

  if (archive->size < 20) return -1;
  const std::uint32_t count = vpk_read_u32(data + 16);
  if (count > kVpkMaxSignatures) return -1;
  std::uint64_t pos = 20;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!vpk_fits(archive, pos, 8)) return -1;
    const std::uint64_t length = vpk_read_u32(data + pos + 4);
    if (!vpk_fits(archive, pos + 8, length)) return -1;
    pos += 8 + length;
  }
  if (pos == first_content) return -1;

  if (!vpk_fits(archive, pos, 12)) return -1;
  const std::uint32_t section_count = vpk_read_u32(data + pos);
  const std::uint32_t section_size = vpk_read_u32(data + pos + 4);
  const std::uint32_t section_id = vpk_read_u32(data + pos + 8);
  if (section_count == 0 || section_size < kSectionHeaderSize) return -1;
  const std::uint64_t payload = section_size - kSectionHeaderSize;
  if (payload > kVpkMaxSectionPayload || section_id != kVpkProductInfoSectionId) return -1;
  if (!vpk_fits(archive, pos + 12, payload)) return -1;

  char text[kVpkMaxSectionPayload + 1] = {};
  std::memcpy(text, data + pos + 12, payload);
  const std::size_t channel_length = std::strlen(text);
  if (channel_length >= sizeof info->channel) return -1;
  const char* version = text + channel_length + 1;
  const std::size_t version_length = std::strlen(version);
  if (version_length >= sizeof info->version) return -1;
  std::memcpy(info->channel, text, channel_length + 1);
  std::memcpy(info->version, version, version_length + 1);
  return 0;
}
