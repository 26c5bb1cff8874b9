#include "ratchet/lookup_reply.h"

#include <algorithm>

#include "crypto/chacha20_poly1305.h"
#include "crypto/ct_eq.h"
#include "ratchet/noise_steps.h"
#include "ratchet/sealed_layout.h"

namespace ratchet {
namespace {

constexpr std::size_t kKeyLen = 32;
constexpr std::size_t kTagLen = 8;

}  // namespace

Result<Bytes> encrypt_ecies_lookup_reply(ByteView reply_key, ByteView reply_tag, const RatchetBlocks& blocks) {
  if (reply_key.size() != kKeyLen || reply_tag.size() != kTagLen)
    return fail(RatchetError::Malformed, "ECIES lookup reply requires 32B key and 8B tag");
  auto out = lay_out_blocks(kTagLen, blocks);
  if (!out) return std::unexpected(std::move(out.error()));
  std::ranges::copy(reply_tag, out->head().begin());
  if (auto sealed = crypto::aead_chacha20_poly1305_encrypt_into(reply_key, kZeroNonce, reply_tag, out->plaintext(),
                                                                out->sealed());
      !sealed)
    return wrap(RatchetError::Crypto, std::move(sealed.error()));
  return std::move(out->buf);
}

Result<RatchetBlocks> decrypt_ecies_lookup_reply(ByteView reply_key, ByteView reply_tag, ByteView message) {
  if (message.size() < kLookupReplyMinLen || reply_key.size() != kKeyLen || reply_tag.size() != kTagLen)
    return fail(RatchetError::Malformed, "invalid ECIES lookup reply parameters or length");
  if (!crypto::ct_eq(message.first(kTagLen), reply_tag)) return fail(RatchetError::DecryptFailed);
  auto payload = crypto::aead_chacha20_poly1305_decrypt(reply_key, kZeroNonce, reply_tag, message.subspan(kTagLen));
  if (!payload) return fail(RatchetError::DecryptFailed);
  return decode_blocks(*payload);
}

}  // namespace ratchet
