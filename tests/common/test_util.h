#pragma once
// Helpers for the common-structure tests: files, an independent SHA-256 and Ed25519
// (OpenSSL), and hand-built identities.
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <string>

#include "encoding/bytes.h"

namespace common_test {

inline std::array<std::uint8_t, 32> openssl_sha256(ByteView data) {
  std::array<std::uint8_t, 32> out{};
  SHA256(data.data(), data.size(), out.data());
  return out;
}

// I2P Base64 ("-" and "~" for "+" and "/") through OpenSSL's standard encoder.
inline std::string openssl_i2p_base64(ByteView data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(), static_cast<int>(data.size()));
  out.resize(static_cast<std::size_t>(n));
  for (char& c : out) {
    if (c == '+') c = '-';
    if (c == '/') c = '~';
  }
  return out;
}

// An Ed25519 key pair from a 32-byte seed, with signing and verifying by OpenSSL.
struct OpenSslEd25519 {
  Bytes seed;
  Bytes public_key;

  explicit OpenSslEd25519(std::uint8_t fill) : seed(32, fill) {
    EVP_PKEY* k = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size());
    std::size_t len = 32;
    public_key.resize(32);
    EVP_PKEY_get_raw_public_key(k, public_key.data(), &len);
    EVP_PKEY_free(k);
  }

  Bytes sign(ByteView message) const {
    EVP_PKEY* k = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size());
    EVP_MD_CTX* c = EVP_MD_CTX_new();
    Bytes sig(64);
    std::size_t len = sig.size();
    EVP_DigestSignInit(c, nullptr, nullptr, nullptr, k);
    EVP_DigestSign(c, sig.data(), &len, message.data(), message.size());
    EVP_MD_CTX_free(c);
    EVP_PKEY_free(k);
    return sig;
  }

  static bool verify(ByteView public_key, ByteView message, ByteView signature) {
    if (public_key.size() != 32) return false;
    EVP_PKEY* k = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size());
    if (k == nullptr) return false;
    EVP_MD_CTX* c = EVP_MD_CTX_new();
    bool ok = EVP_DigestVerifyInit(c, nullptr, nullptr, nullptr, k) == 1 &&
              EVP_DigestVerify(c, signature.data(), signature.size(), message.data(), message.size()) == 1;
    EVP_MD_CTX_free(c);
    EVP_PKEY_free(k);
    return ok;
  }
};

// A 384-byte key area with a recognisable pattern, then the given certificate bytes.
inline Bytes key_area_then(std::initializer_list<std::uint8_t> cert) {
  Bytes out(384);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(i * 7 + 1);
  out.insert(out.end(), cert);
  return out;
}

// The router's own kind of identity bytes: X25519 key at 0..31, Ed25519 key at
// 352..383, Key certificate 05 00 04 00 07 00 04.
inline Bytes own_identity_bytes(ByteView ed25519_public_key, std::uint8_t x25519_fill = 0x11) {
  Bytes out = key_area_then({0x05, 0x00, 0x04, 0x00, 0x07, 0x00, 0x04});
  for (std::size_t i = 0; i < 32; ++i) out[i] = x25519_fill;
  for (std::size_t i = 0; i < 32; ++i) out[352 + i] = ed25519_public_key[i];
  return out;
}

inline void append(Bytes& out, ByteView more) { out.insert(out.end(), more.begin(), more.end()); }
inline void append_u16(Bytes& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}
inline void append_u32(Bytes& out, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}
inline void append_u64(Bytes& out, std::uint64_t v) {
  for (int s = 56; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}
inline void append_string(Bytes& out, std::string_view s) {
  out.push_back(static_cast<std::uint8_t>(s.size()));
  append(out, as_bytes(s));
}

}  // namespace common_test
