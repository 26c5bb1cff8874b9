#include "ratchet/clove.h"

#include "encoding/reader.h"

namespace ratchet {

Result<RatchetBlock> garlic_clove_block(CloveDelivery delivery, std::uint32_t message_id, std::uint32_t expiration_s,
                                        const i2np::I2npPayload& payload) {
  auto message = i2np::encode_short_message(message_id, expiration_s, payload);
  if (!message) return wrap(RatchetError::I2np, std::move(message.error()));
  return RatchetBlock::GarlicClove{std::move(delivery), std::move(*message)};
}

Result<std::pair<i2np::I2npShortHeader, i2np::I2npPayload>> decode_garlic_clove_i2np(ByteView message) {
  encoding::Reader r(message);
  auto decoded = i2np::decode_short_message(r);
  if (!decoded) return wrap(RatchetError::I2np, std::move(decoded.error()));
  return std::move(*decoded);
}

}  // namespace ratchet
