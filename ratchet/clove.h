#pragma once
// Garlic cloves: delivery instructions followed by one I2NP message with the 9-byte short
// header (type, message id, expiration in seconds), never the 16-byte standard header.
#include <cstdint>
#include <utility>

#include "encoding/bytes.h"
#include "encoding/error.h"
#include "i2np/message.h"
#include "i2np/payload.h"
#include "ratchet/block.h"

namespace ratchet {

// A GarlicClove block carrying payload under a short header. An I2NP encoding failure is
// RatchetError::I2np around it. The clove's size limit is checked when the block is encoded.
Result<RatchetBlock> garlic_clove_block(CloveDelivery delivery, std::uint32_t message_id, std::uint32_t expiration_s,
                                        const i2np::I2npPayload& payload);

// The short header and the decoded body of a clove's message; the body is every byte after
// the 9-byte header. A decoding failure is RatchetError::I2np around it.
Result<std::pair<i2np::I2npShortHeader, i2np::I2npPayload>> decode_garlic_clove_i2np(ByteView message);

}  // namespace ratchet
