#include "encoding/writer.h"

namespace encoding {

Result<void> Writer::write_i2p_string(std::string_view text) {
  if (text.size() > 255) {
    return fail(EncodingError::LimitExceeded, msg("I2P string exceeds 255 UTF-8 bytes: ", text.size()));
  }
  write_u8(static_cast<std::uint32_t>(text.size()));
  write_bytes(as_bytes(text));
  return {};
}

}  // namespace encoding
