#include "ratchet/sealed_layout.h"

#include "encoding/writer.h"

namespace ratchet {

Result<SealedLayout> lay_out_blocks(std::size_t head_len, std::span<const RatchetBlock> blocks,
                                    std::span<const RatchetBlock> leading) {
  auto leading_len = encoded_blocks_size(leading);
  if (!leading_len) return std::unexpected(std::move(leading_len.error()));
  auto blocks_len = encoded_blocks_size(blocks);
  if (!blocks_len) return std::unexpected(std::move(blocks_len.error()));
  const std::size_t payload_len = *leading_len + *blocks_len;
  const std::size_t total = head_len + payload_len + kAeadTagLen;
  encoding::Writer w(total);
  w.buf.resize(head_len);
  append_blocks(w, leading);
  append_blocks(w, blocks);
  w.buf.resize(total);
  return SealedLayout{std::move(w.buf), head_len, payload_len};
}

}  // namespace ratchet
