#include "ntcp2/frame.h"

namespace ntcp2 {

Result<void> seal_frame_in_place(Ntcp2DataSession& session, Bytes& frame) {
  if (frame.size() < kFrameLengthLen) {
    return fail(Ntcp2Error::Malformed, msg("NTCP2 frame needs ", kFrameLengthLen, " bytes of room for its length"));
  }
  const std::size_t payload_len = frame.size() - kFrameLengthLen;
  const std::size_t ct_len = payload_len + kFrameTagLen;
  if (ct_len > kMaxFrameLen) return fail(Ntcp2Error::Malformed, msg("NTCP2 data frame exceeds 65535 bytes: ", ct_len));

  // A cipher without a key (before the handshake gives one) adds no tag.
  const std::size_t sealed_len = payload_len + session.send_cipher.overhead();
  frame.resize(kFrameLengthLen + sealed_len);
  const std::span<std::uint8_t> body(frame.data() + kFrameLengthLen, sealed_len);
  if (auto ok = session.send_cipher.encrypt_with_ad_into({}, ByteView(body.data(), payload_len), body); !ok) {
    frame.resize(kFrameLengthLen + payload_len);
    return wrap(Ntcp2Error::Noise, std::move(ok.error()));
  }
  auto masked = session.send_mask.xor_length(static_cast<std::uint16_t>(sealed_len));
  if (!masked) return wrap(Ntcp2Error::Noise, std::move(masked.error()));
  frame[0] = static_cast<std::uint8_t>(*masked >> 8);
  frame[1] = static_cast<std::uint8_t>(*masked);
  return {};
}

Result<Bytes> seal_frame(Ntcp2DataSession& session, ByteView payload) {
  const std::size_t ct_len = payload.size() + kFrameTagLen;
  if (ct_len > kMaxFrameLen) return fail(Ntcp2Error::Malformed, msg("NTCP2 data frame exceeds 65535 bytes: ", ct_len));
  Bytes frame;
  frame.reserve(kFrameLengthLen + ct_len);
  frame.resize(kFrameLengthLen);
  frame.insert(frame.end(), payload.begin(), payload.end());
  if (auto ok = seal_frame_in_place(session, frame); !ok) return std::unexpected(std::move(ok.error()));
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

Result<ByteView> open_frame_in_place(Ntcp2DataSession& session, std::span<std::uint8_t> body) {
  const std::size_t overhead = session.recv_cipher.overhead();
  if (body.size() < overhead) return wrap(Ntcp2Error::Noise, Error(NoiseError::Crypto, Error(CryptoError::AuthFailed)));
  const std::span<std::uint8_t> plaintext = body.first(body.size() - overhead);
  if (auto ok = session.recv_cipher.decrypt_with_ad_into({}, body, plaintext); !ok) {
    return wrap(Ntcp2Error::Noise, std::move(ok.error()));
  }
  return ByteView(plaintext.data(), plaintext.size());
}

}  // namespace ntcp2
