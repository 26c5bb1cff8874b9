#pragma once
// Checking the archive's signature block with the public key of one certificate.
//
// The signed stream is the first 20 bytes of the archive, then each signature entry's
// algorithm id and length as stored (not the signature bytes), then every byte after
// the signature block. Signatures are RSA PKCS#1 v1.5 with SHA-384, checked through NSS,
// which the caller has initialised.
#include <cstddef>
#include <cstdint>

#include "updater/vpk_archive.h"

inline constexpr std::uint32_t kVpkMaxSignatures = 8;
inline constexpr std::uint32_t kVpkMaxSignatureLength = 2048;
inline constexpr std::uint32_t kVpkSignatureRsaPkcs1Sha384 = 2;
// The shortest accepted key: 2048 bits.
inline constexpr unsigned kVpkMinKeyBytes = 256;

// 0 when the archive holds exactly one signature and it verifies with the public key of
// the DER certificate cert; otherwise -1 after one "ERROR: ..." line on the standard error
// stream naming what failed.
int vpk_verify_signatures(const VpkArchive* archive, const std::uint8_t* cert, std::size_t cert_length);
