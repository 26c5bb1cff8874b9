#include "common/su3.h"

#include <algorithm>

#include "encoding/reader.h"
#include "encoding/text.h"
#include "encoding/zip.h"

namespace common {

namespace {

constexpr std::size_t kHeaderSize = 40;
constexpr std::uint64_t kMaxContent = 0x4000000;

}  // namespace

Result<Su3File> parse_su3(ByteView file) {
  if (file.size() < kHeaderSize)
    return fail(CommonError::Invalid, msg("SU3 file shorter than 40 bytes: ", file.size()));
  static constexpr std::uint8_t kMagic[] = {'I', '2', 'P', 's', 'u', '3'};
  if (!std::equal(std::begin(kMagic), std::end(kMagic), file.begin())) {
    return fail(CommonError::Unsupported, "invalid SU3 magic header (expected 'I2Psu3')");
  }
  if (file[7] != 0) return fail(CommonError::Unsupported, msg("unsupported SU3 format version: ", file[7]));

  // The header is at least 40 bytes long, so its fixed fields cannot fail to read.
  encoding::Reader r(file);
  r.pos = 8;
  Su3File su3;
  su3.signature_type = r.read_u16_be().value();
  const std::uint16_t sig_len = r.read_u16_be().value();
  r.pos = 13;
  const std::uint8_t ver_len = r.read_u8().value();
  r.pos = 15;
  const std::uint8_t signer_len = r.read_u8().value();
  const std::uint64_t content_len = r.read_u64_be().value();
  if (content_len > kMaxContent) return fail(CommonError::Invalid, "SU3 content length too large");
  r.pos = 25;
  su3.file_type = r.read_u8().value();
  r.pos = 27;
  su3.content_type = r.read_u8().value();
  r.pos = kHeaderSize;

  auto version = r.read_view(ver_len);
  if (!version) return wrap(CommonError::Encoding, std::move(version.error()));
  auto version_text = encoding::utf8_bytes_to_string(*version);
  if (!version_text) return wrap(CommonError::Encoding, std::move(version_text.error()));
  su3.version = std::move(*version_text);

  auto signer = r.read_view(signer_len);
  if (!signer) return wrap(CommonError::Encoding, std::move(signer.error()));
  auto signer_text = encoding::utf8_bytes_to_string(*signer);
  if (!signer_text) return wrap(CommonError::Encoding, std::move(signer_text.error()));
  su3.signer_id = std::move(*signer_text);

  auto content = r.read_bytes(static_cast<std::int64_t>(content_len));
  if (!content) return wrap(CommonError::Encoding, std::move(content.error()));
  su3.content = std::move(*content);

  su3.signature_offset = r.pos;
  auto signature = r.read_bytes(sig_len);
  if (!signature) return wrap(CommonError::Encoding, std::move(signature.error()));
  su3.signature = std::move(*signature);
  return su3;
}

Result<std::vector<RouterInfo>> parse_reseed_su3(ByteView file) {
  auto su3 = parse_su3(file);
  if (!su3) return std::unexpected(std::move(su3.error()));
  if (su3->file_type != 0) {
    return fail(CommonError::Unsupported, msg("reseed SU3 must contain a ZIP file (type 0), got ", su3->file_type));
  }
  if (su3->content_type != 3) {
    return fail(CommonError::Unsupported, msg("reseed SU3 must have content type 3, got ", su3->content_type));
  }
  // Only ".dat" entries are extracted, each bounded to a RouterInfo-sized amount.
  auto entries = encoding::zip_extract_entries(su3->content);
  if (!entries) return wrap(CommonError::Encoding, std::move(entries.error()));

  std::vector<RouterInfo> infos;
  for (const auto& entry : *entries) {
    encoding::Reader r(entry.data);
    auto ri = RouterInfo::decode(r);
    if (ri && ri->verify_signature()) infos.push_back(std::move(*ri));
  }
  return infos;
}

}  // namespace common
