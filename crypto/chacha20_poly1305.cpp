#include "crypto/chacha20_poly1305.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "crypto/chacha20.h"
#include "crypto/ct_eq.h"
#include "crypto/endian.h"
#include "crypto/poly1305.h"

namespace crypto {

namespace {

constexpr std::size_t tag_size = 16;

void append_padded(Bytes& out, ByteView part) {
  out.insert(out.end(), part.begin(), part.end());
  out.resize(out.size() + (16 - part.size() % 16) % 16, 0);
}

// The tag over ad and ciphertext, under the one-time key taken from block 0.
Poly1305Tag compute_tag(const std::uint8_t* key, const std::uint8_t* nonce, ByteView ad, ByteView ciphertext,
                        VectorIsa isa) {
  std::array<std::uint8_t, 64> block0;
  detail::chacha20_block_unchecked(key, 0, nonce, block0.data());
  Poly1305 mac(block0.data(), isa);
  mac.update(ad.data(), ad.size());
  mac.pad16();
  mac.update(ciphertext.data(), ciphertext.size());
  mac.pad16();
  std::uint8_t lengths[16];
  write_u64_le(lengths, ad.size());
  write_u64_le(lengths + 8, ciphertext.size());
  mac.update(lengths, sizeof lengths);
  return mac.finalize();
}

}  // namespace

Bytes build_aead_mac_data(ByteView ad, ByteView ciphertext) {
  Bytes out;
  out.reserve(ad.size() + ciphertext.size() + 48);
  append_padded(out, ad);
  append_padded(out, ciphertext);
  std::uint8_t lengths[16];
  write_u64_le(lengths, ad.size());
  write_u64_le(lengths + 8, ciphertext.size());
  out.insert(out.end(), lengths, lengths + 16);
  return out;
}

Result<void> aead_chacha20_poly1305_encrypt_into(ByteView key, ByteView nonce, ByteView ad, ByteView plaintext,
                                                 std::span<std::uint8_t> out, Engine engine) {
  return aead_chacha20_poly1305_encrypt_into(key, nonce, ad, plaintext, out, vector_isa_for(engine));
}

Result<void> aead_chacha20_poly1305_encrypt_into(ByteView key, ByteView nonce, ByteView ad, ByteView plaintext,
                                                 std::span<std::uint8_t> out, VectorIsa isa) {
  if (auto ok = detail::check_chacha20_params(key, nonce); !ok) return ok;
  if (out.size() != plaintext.size() + tag_size)
    return fail(CryptoError::InvalidLength,
                msg("AEAD output must be ", plaintext.size() + tag_size, " bytes, got ", out.size()));
  detail::chacha20_xor_unchecked(key.data(), nonce.data(), 1, plaintext.data(), out.data(), plaintext.size(),
                                 isa);
  const Poly1305Tag tag = compute_tag(key.data(), nonce.data(), ad, ByteView(out.data(), plaintext.size()), isa);
  std::copy(tag.begin(), tag.end(), out.begin() + static_cast<std::ptrdiff_t>(plaintext.size()));
  return {};
}

Result<Bytes> aead_chacha20_poly1305_encrypt(ByteView key, ByteView nonce, ByteView ad, ByteView plaintext,
                                             Engine engine) {
  return aead_chacha20_poly1305_encrypt(key, nonce, ad, plaintext, vector_isa_for(engine));
}

Result<Bytes> aead_chacha20_poly1305_encrypt(ByteView key, ByteView nonce, ByteView ad, ByteView plaintext,
                                             VectorIsa isa) {
  Bytes out(plaintext.size() + tag_size);
  if (auto ok = aead_chacha20_poly1305_encrypt_into(key, nonce, ad, plaintext, out, isa); !ok)
    return std::unexpected(std::move(ok.error()));
  return out;
}

Result<Bytes> aead_chacha20_poly1305_decrypt(ByteView key, ByteView nonce, ByteView ad, ByteView ciphertext_and_tag,
                                             Engine engine) {
  return aead_chacha20_poly1305_decrypt(key, nonce, ad, ciphertext_and_tag, vector_isa_for(engine));
}

Result<Bytes> aead_chacha20_poly1305_decrypt(ByteView key, ByteView nonce, ByteView ad, ByteView ciphertext_and_tag,
                                             VectorIsa isa) {
  if (ciphertext_and_tag.size() < tag_size) return fail(CryptoError::AuthFailed);
  if (auto ok = detail::check_chacha20_params(key, nonce); !ok) return std::unexpected(ok.error());
  const std::size_t n = ciphertext_and_tag.size() - tag_size;
  const ByteView ciphertext = ciphertext_and_tag.first(n);
  const ByteView received = ciphertext_and_tag.subspan(n);
  const Poly1305Tag expected = compute_tag(key.data(), nonce.data(), ad, ciphertext, isa);
  if (!ct_eq(expected, received)) return fail(CryptoError::AuthFailed);
  Bytes out(n);
  detail::chacha20_xor_unchecked(key.data(), nonce.data(), 1, ciphertext.data(), out.data(), n, isa);
  return out;
}

}  // namespace crypto
