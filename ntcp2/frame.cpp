#include "ntcp2/frame.h"

namespace ntcp2 {

Result<Bytes> seal_frame(Ntcp2DataSession& session, ByteView payload) {
  const std::size_t ct_len = payload.size() + kFrameTagLen;
  if (ct_len > kMaxFrameLen) return fail(Ntcp2Error::Malformed, msg("NTCP2 data frame exceeds 65535 bytes: ", ct_len));

  auto ct = session.send_cipher.encrypt_with_ad({}, payload);
  if (!ct) return wrap(Ntcp2Error::Noise, std::move(ct.error()));
  auto masked = session.send_mask.xor_length(static_cast<std::uint16_t>(ct->size()));
  if (!masked) return wrap(Ntcp2Error::Noise, std::move(masked.error()));

  Bytes frame;
  frame.reserve(2 + ct->size());
  frame.push_back(static_cast<std::uint8_t>(*masked >> 8));
  frame.push_back(static_cast<std::uint8_t>(*masked));
  frame.insert(frame.end(), ct->begin(), ct->end());
  return frame;
}

Result<std::uint16_t> open_frame_length(Ntcp2DataSession& session, std::uint16_t masked) {
  auto len = session.recv_mask.xor_length(masked);
  if (!len) return wrap(Ntcp2Error::Noise, std::move(len.error()));
  return *len;
}

Result<Bytes> open_frame(Ntcp2DataSession& session, ByteView ciphertext) {
  auto pt = session.recv_cipher.decrypt_with_ad({}, ciphertext);
  if (!pt) return wrap(Ntcp2Error::Noise, std::move(pt.error()));
  return std::move(*pt);
}

}  // namespace ntcp2
