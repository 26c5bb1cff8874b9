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

// Block 0 of the keystream gives the Poly1305 key (its first 32 bytes). Where the
// four-block code is quick (AVX-512VL), or the whole message fits in blocks 1 to 3,
// blocks 0 to 3 come from one four-block call and their last 192 bytes start the
// message's keystream; otherwise block 0 comes alone and the message's keystream from
// block 1 on, so that the wide code keeps whole groups.
struct FirstBlocks {
  std::array<std::uint8_t, 256> ks;
  std::size_t head;  // message bytes covered by ks[64..]
};

FirstBlocks first_blocks(const std::uint8_t* key, const std::uint8_t* nonce, std::size_t len, VectorIsa isa) {
  static constexpr std::array<std::uint8_t, 256> zeros{};
  FirstBlocks first;
  const bool quick_four = vector_isa_supported(isa) && isa >= VectorIsa::Avx512;
  if (quick_four || len <= 192) {
    detail::chacha20_xor_unchecked(key, nonce, 0, zeros.data(), first.ks.data(), first.ks.size(), isa);
    first.head = std::min<std::size_t>(len, 192);
  } else {
    detail::chacha20_block_unchecked(key, 0, nonce, first.ks.data());
    first.head = 0;
  }
  return first;
}

// out = in XOR the keystream from block 1 on: the first bytes from `first`, the rest
// from the block after them. in and out may be the same buffer.
void xor_message(const std::uint8_t* key, const std::uint8_t* nonce, const FirstBlocks& first, const std::uint8_t* in,
                 std::uint8_t* out, std::size_t len, VectorIsa isa) {
  const std::size_t head = first.head;
  for (std::size_t i = 0; i < head; ++i) out[i] = static_cast<std::uint8_t>(in[i] ^ first.ks[64 + i]);
  if (len > head) {
    const auto counter = static_cast<std::uint32_t>(1 + head / 64);
    detail::chacha20_xor_unchecked(key, nonce, counter, in + head, out + head, len - head, isa);
  }
}

// Poly1305 under the one-time key from block 0, with ad fed and padded: ready for
// the ciphertext.
Poly1305 start_mac(const FirstBlocks& first, ByteView ad, VectorIsa isa) {
  Poly1305 mac(first.ks.data(), isa);
  mac.update(ad.data(), ad.size());
  mac.pad16();
  return mac;
}

// The tag once `rest`, the end of the ciphertext not fed yet, has been fed.
Poly1305Tag finish_tag(Poly1305& mac, ByteView rest, std::size_t ad_size, std::size_t ciphertext_size) {
  mac.update(rest.data(), rest.size());
  mac.pad16();
  std::uint8_t lengths[16];
  write_u64_le(lengths, ad_size);
  write_u64_le(lengths + 8, ciphertext_size);
  mac.update(lengths, sizeof lengths);
  return mac.finalize();
}

// The tag over ad and ciphertext, under the one-time key from block 0.
Poly1305Tag compute_tag(const FirstBlocks& first, ByteView ad, ByteView ciphertext, VectorIsa isa) {
  Poly1305 mac = start_mac(first, ad, isa);
  return finish_tag(mac, ciphertext, ad.size(), ciphertext.size());
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
  const std::size_t n = plaintext.size();
  const FirstBlocks first = first_blocks(key.data(), nonce.data(), n, isa);
  Poly1305 mac = start_mac(first, ad, isa);
  std::size_t fed = 0;
  if (first.head == 0) {
    // The ciphertext is authenticated as it is written, while the next blocks of
    // keystream are computed.
    detail::Poly1305Scalar state = mac.scalar_state();
    fed = detail::chacha20_xor_authenticating(key.data(), nonce.data(), 1, plaintext.data(), out.data(), n, isa, state);
    mac.set_accumulator(state);
  } else {
    xor_message(key.data(), nonce.data(), first, plaintext.data(), out.data(), n, isa);
  }
  const Poly1305Tag tag = finish_tag(mac, ByteView(out.data() + fed, n - fed), ad.size(), n);
  std::copy(tag.begin(), tag.end(), out.begin() + static_cast<std::ptrdiff_t>(n));
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
  Bytes out(ciphertext_and_tag.size() - tag_size);
  if (auto ok = aead_chacha20_poly1305_decrypt_into(key, nonce, ad, ciphertext_and_tag, out, isa); !ok)
    return std::unexpected(std::move(ok.error()));
  return out;
}

Result<void> aead_chacha20_poly1305_decrypt_into(ByteView key, ByteView nonce, ByteView ad, ByteView ciphertext_and_tag,
                                                 std::span<std::uint8_t> out, Engine engine) {
  return aead_chacha20_poly1305_decrypt_into(key, nonce, ad, ciphertext_and_tag, out, vector_isa_for(engine));
}

Result<void> aead_chacha20_poly1305_decrypt_into(ByteView key, ByteView nonce, ByteView ad, ByteView ciphertext_and_tag,
                                                 std::span<std::uint8_t> out, VectorIsa isa) {
  if (ciphertext_and_tag.size() < tag_size) return fail(CryptoError::AuthFailed);
  if (auto ok = detail::check_chacha20_params(key, nonce); !ok) return ok;
  const std::size_t n = ciphertext_and_tag.size() - tag_size;
  if (out.size() != n)
    return fail(CryptoError::InvalidLength, msg("AEAD output must be ", n, " bytes, got ", out.size()));
  const ByteView ciphertext = ciphertext_and_tag.first(n);
  const ByteView received = ciphertext_and_tag.subspan(n);
  const FirstBlocks first = first_blocks(key.data(), nonce.data(), n, isa);
  const Poly1305Tag expected = compute_tag(first, ad, ciphertext, isa);
  if (!ct_eq(expected, received)) return fail(CryptoError::AuthFailed);
  xor_message(key.data(), nonce.data(), first, ciphertext.data(), out.data(), n, isa);
  return {};
}

}  // namespace crypto
