#pragma once
// Thin wrappers over OpenSSL's libcrypto, the independent reference the crypto tests
// and benchmarks compare against. Test and benchmark code only.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <cstdint>
#include <string>

#include "encoding/bytes.h"

namespace openssl_ref {

inline Bytes digest(const EVP_MD* md, ByteView data) {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr);
  out.resize(len);
  return out;
}

// A MAC through EVP_MAC: "HMAC" (digest SHA256), "POLY1305", "SIPHASH" (8-byte output).
inline Bytes mac(const char* name, ByteView key, ByteView data) {
  EVP_MAC* m = EVP_MAC_fetch(nullptr, name, nullptr);
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(m);
  OSSL_PARAM params[2] = {OSSL_PARAM_END, OSSL_PARAM_END};
  char digest_name[] = "SHA256";
  unsigned int size = 8;
  if (std::string(name) == "HMAC") {
    params[0] = OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0);
  } else if (std::string(name) == "SIPHASH") {
    params[0] = OSSL_PARAM_construct_uint(OSSL_MAC_PARAM_SIZE, &size);
  }
  // HMAC accepts an empty key only through a non-null pointer.
  static const std::uint8_t empty = 0;
  EVP_MAC_init(ctx, key.empty() ? &empty : key.data(), key.size(), params);
  EVP_MAC_update(ctx, data.data(), data.size());
  Bytes out(64);
  std::size_t len = 0;
  EVP_MAC_final(ctx, out.data(), &len, out.size());
  out.resize(len);
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(m);
  return out;
}

inline Bytes hkdf_sha256(ByteView salt, ByteView ikm, ByteView info, std::size_t length) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
  EVP_PKEY_derive_init(ctx);
  EVP_PKEY_CTX_set_hkdf_md(ctx, EVP_sha256());
  if (!salt.empty()) EVP_PKEY_CTX_set1_hkdf_salt(ctx, salt.data(), static_cast<int>(salt.size()));
  static const std::uint8_t empty = 0;
  EVP_PKEY_CTX_set1_hkdf_key(ctx, ikm.empty() ? &empty : ikm.data(), static_cast<int>(ikm.size()));
  if (!info.empty()) EVP_PKEY_CTX_add1_hkdf_info(ctx, info.data(), static_cast<int>(info.size()));
  Bytes out(length);
  std::size_t len = length;
  EVP_PKEY_derive(ctx, out.data(), &len);
  EVP_PKEY_CTX_free(ctx);
  out.resize(len);
  return out;
}

// One pass of an EVP cipher without padding; iv may be empty for ciphers without one.
inline Bytes cipher(const EVP_CIPHER* c, bool encrypt, ByteView key, ByteView iv, ByteView data) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, c, nullptr, key.data(), iv.empty() ? nullptr : iv.data(), encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  Bytes out(data.size() + 32);
  int len = 0, fin = 0;
  EVP_CipherUpdate(ctx, out.data(), &len, data.data(), static_cast<int>(data.size()));
  EVP_CipherFinal_ex(ctx, out.data() + len, &fin);
  out.resize(static_cast<std::size_t>(len + fin));
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

// ChaCha20 from a 32-bit block counter: OpenSSL's 16-byte IV is counter || nonce.
inline Bytes chacha20(ByteView key, std::uint32_t counter, ByteView nonce, ByteView data) {
  std::uint8_t iv[16];
  for (int i = 0; i < 4; ++i) iv[i] = static_cast<std::uint8_t>(counter >> (8 * i));
  for (int i = 0; i < 12; ++i) iv[4 + i] = nonce[static_cast<std::size_t>(i)];
  return cipher(EVP_chacha20(), true, key, ByteView(iv, 16), data);
}

// ChaCha20-Poly1305 sealing: ciphertext || tag.
inline Bytes aead_seal(ByteView key, ByteView nonce, ByteView ad, ByteView plaintext) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, key.data(), nonce.data());
  int len = 0;
  if (!ad.empty()) EVP_EncryptUpdate(ctx, nullptr, &len, ad.data(), static_cast<int>(ad.size()));
  Bytes out(plaintext.size() + 16);
  if (!plaintext.empty())
    EVP_EncryptUpdate(ctx, out.data(), &len, plaintext.data(), static_cast<int>(plaintext.size()));
  int fin = 0;
  EVP_EncryptFinal_ex(ctx, out.data() + plaintext.size(), &fin);
  EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out.data() + plaintext.size());
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

}  // namespace openssl_ref
