#pragma once
// SU3 reseed files: a signed container whose content is a ZIP archive of RouterInfo files.
// The container's signature is read but not verified; every RouterInfo inside must verify.
#include <cstdint>
#include <string>
#include <vector>

#include "common/router_info.h"
#include "encoding/bytes.h"
#include "encoding/error.h"

namespace common {

struct Su3File {
  std::uint16_t signature_type = 0;
  std::string version;
  std::string signer_id;
  std::uint8_t file_type = 0;
  std::uint8_t content_type = 0;
  Bytes content;
  Bytes signature;
  std::size_t signature_offset = 0;
};

// The container's header, texts, content and signature.
Result<Su3File> parse_su3(ByteView file);

// The RouterInfos of the archive's ".dat" entries that decode and verify, in archive order.
// Any header, reader, UTF-8 or ZIP error fails the whole file.
Result<std::vector<RouterInfo>> parse_reseed_su3(ByteView file);

}  // namespace common
