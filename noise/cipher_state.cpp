#include "noise/cipher_state.h"

#include <cstring>

#include "crypto/chacha20_poly1305.h"
#include "crypto/endian.h"

namespace noise {

std::array<std::uint8_t, 12> make_noise_nonce(std::uint64_t n) {
  std::array<std::uint8_t, 12> nonce{};
  crypto::write_u64_le(nonce.data() + 4, n);
  return nonce;
}

Result<void> CipherState::encrypt_with_ad_into(ByteView ad, ByteView plaintext, std::span<std::uint8_t> out) {
  if (out.size() != plaintext.size() + overhead())
    return fail(NoiseError::Crypto,
                Error(CryptoError::InvalidLength,
                      msg("cipher output must be ", plaintext.size() + overhead(), " bytes, got ", out.size())));
  if (!k) {
    // memmove: the plaintext may already lie in out.
    if (!plaintext.empty()) std::memmove(out.data(), plaintext.data(), plaintext.size());
    return {};
  }
  if (n == exhausted) return fail(NoiseError::NonceExhausted);
  const auto nonce = make_noise_nonce(n);
  ++n;
  auto sealed = crypto::aead_chacha20_poly1305_encrypt_into(*k, nonce, ad, plaintext, out);
  if (!sealed) return wrap(NoiseError::Crypto, std::move(sealed.error()));
  return {};
}

Result<Bytes> CipherState::encrypt_with_ad(ByteView ad, ByteView plaintext) {
  Bytes out(plaintext.size() + overhead());
  if (auto ok = encrypt_with_ad_into(ad, plaintext, out); !ok) return std::unexpected(std::move(ok.error()));
  return out;
}

Result<Bytes> CipherState::decrypt_with_ad(ByteView ad, ByteView ciphertext) {
  if (!k) return Bytes(ciphertext.begin(), ciphertext.end());
  if (n == exhausted) return fail(NoiseError::NonceExhausted);
  auto opened = crypto::aead_chacha20_poly1305_decrypt(*k, make_noise_nonce(n), ad, ciphertext);
  if (!opened) return wrap(NoiseError::Crypto, std::move(opened.error()));
  ++n;
  return std::move(*opened);
}

Result<void> CipherState::decrypt_with_ad_into(ByteView ad, ByteView ciphertext, std::span<std::uint8_t> out) {
  if (ciphertext.size() < overhead()) return fail(NoiseError::Crypto, Error(CryptoError::AuthFailed));
  if (out.size() != ciphertext.size() - overhead())
    return fail(NoiseError::Crypto,
                Error(CryptoError::InvalidLength,
                      msg("cipher output must be ", ciphertext.size() - overhead(), " bytes, got ", out.size())));
  if (!k) {
    // memmove: the ciphertext may already lie in out.
    if (!ciphertext.empty()) std::memmove(out.data(), ciphertext.data(), ciphertext.size());
    return {};
  }
  if (n == exhausted) return fail(NoiseError::NonceExhausted);
  auto opened = crypto::aead_chacha20_poly1305_decrypt_into(*k, make_noise_nonce(n), ad, ciphertext, out);
  if (!opened) return wrap(NoiseError::Crypto, std::move(opened.error()));
  ++n;
  return {};
}

}  // namespace noise
