#include "ratchet/sealed_layout.h"

#include "encoding/writer.h"

namespace ratchet {

Result<SealedLayout> lay_out_blocks(std::size_t head_len, const RatchetBlocks& blocks) {
  auto payload_len = encoded_blocks_size(blocks);
  if (!payload_len) return std::unexpected(std::move(payload_len.error()));
  const std::size_t total = head_len + *payload_len + kAeadTagLen;
  encoding::Writer w(total);
  w.buf.resize(head_len);
  append_blocks(w, blocks);
  w.buf.resize(total);
  return SealedLayout{std::move(w.buf), head_len, *payload_len};
}

}  // namespace ratchet
