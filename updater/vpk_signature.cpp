#include "updater/vpk_signature.h"

#include <cert.h>
#include <cryptohi.h>
#include <keyhi.h>
#include <secoid.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct SignatureEntry {
  std::uint32_t algorithm;
  std::uint32_t length;
  unsigned char* bytes;
};

// What one check holds; released on every path.
struct Verification {
  SECKEYPublicKey* key = nullptr;
  VFYContext* context = nullptr;
  SignatureEntry entries[kVpkMaxSignatures] = {};
  std::uint32_t count = 0;

  ~Verification() {
    for (std::uint32_t i = 0; i < count; ++i) std::free(entries[i].bytes);
    if (context != nullptr) VFY_DestroyContext(context, PR_TRUE);
    if (key != nullptr) SECKEY_DestroyPublicKey(key);
  }
};

int fail(const char* message) {
  std::fputs(message, stderr);
  return -1;
}

SECKEYPublicKey* load_public_key(const std::uint8_t* cert, std::size_t cert_length) {
  CERTCertDBHandle* db = CERT_GetDefaultCertDB();
  if (cert == nullptr || cert_length == 0 || cert_length > 0xFFFFFFFFu || db == nullptr) return nullptr;
  SECItem der{siBuffer, const_cast<unsigned char*>(cert), static_cast<unsigned int>(cert_length)};
  CERTCertificate* certificate = CERT_NewTempCertificate(db, &der, nullptr, PR_FALSE, PR_TRUE);
  if (certificate == nullptr) return nullptr;
  SECKEYPublicKey* key = CERT_ExtractPublicKey(certificate);
  CERT_DestroyCertificate(certificate);
  return key;
}

// Copies the signature entries out of the block that starts at offset 20.
int extract_signatures(const VpkArchive* archive, Verification& v, std::uint32_t count) {
  std::uint64_t pos = 20;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!vpk_fits(archive, pos, 4)) return fail("ERROR: Could not read signatures algorithm ID.\n");
    const std::uint32_t algorithm = vpk_read_u32(archive->data + pos);
    if (!vpk_fits(archive, pos + 4, 4)) return fail("ERROR: Could not read signatures length.\n");
    const std::uint32_t length = vpk_read_u32(archive->data + pos + 4);
    if (length > kVpkMaxSignatureLength) return fail("ERROR: Signature length is too large to verify.\n");
    auto* bytes = static_cast<unsigned char*>(std::malloc(length != 0 ? length : 1));
    if (bytes == nullptr) return fail("ERROR: Could not allocate buffer for signature.\n");
    v.entries[v.count++] = {algorithm, length, bytes};
    if (!vpk_fits(archive, pos + 8, length)) return fail("ERROR: Could not read extracted signature.\n");
    std::memcpy(bytes, archive->data + pos + 8, length);
    if (algorithm != kVpkSignatureRsaPkcs1Sha384) return fail("ERROR: Unknown signature algorithm ID.\n");
    pos += 8 + static_cast<std::uint64_t>(length);
  }
  return 0;
}

int update(VFYContext* context, const std::uint8_t* data, std::uint64_t length) {
  return VFY_Update(context, data, static_cast<unsigned int>(length)) == SECSuccess ? 0 : -1;
}

// Feeds the signed stream into the context.
int feed_signed_stream(const VpkArchive* archive, VFYContext* context, std::uint32_t count) {
  const std::uint8_t* data = archive->data;
  if (archive->size < 20) return fail("ERROR: Could not read signature block\n");
  if (update(context, data, 20) != 0) return fail("ERROR: Could not update verify context for signature block\n");
  std::uint64_t pos = 20;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!vpk_fits(archive, pos, 4)) return fail("ERROR: Could not read signature algorithm ID\n");
    if (update(context, data + pos, 4) != 0) {
      return fail("ERROR: Could not update verify context for signature algorithm ID\n");
    }
    if (!vpk_fits(archive, pos + 4, 4)) return fail("ERROR: Could not read signature length\n");
    if (update(context, data + pos + 4, 4) != 0) {
      return fail("ERROR: Could not update verify context for signature length\n");
    }
    const std::uint32_t length = vpk_read_u32(data + pos + 4);
    if (length > kVpkMaxSignatureLength) return fail("ERROR: Embedded signature length is too large.\n");
    if (!vpk_fits(archive, pos + 8, length)) return fail("ERROR: Could not seek past signature.\n");
    pos += 8 + static_cast<std::uint64_t>(length);
  }
  constexpr std::uint64_t kChunk = 4096;
  while (pos < archive->size) {
    const std::uint64_t n = std::min(kChunk, archive->size - pos);
    if (update(context, data + pos, n) != 0) return fail("ERROR: Error updating verify context with data block.\n");
    pos += n;
  }
  return 0;
}

}  // namespace

int vpk_verify_signatures(const VpkArchive* archive, const std::uint8_t* cert, std::size_t cert_length) {
  if (archive == nullptr) return fail("ERROR: Invalid parameter specified.\n");
  Verification v;
  v.key = load_public_key(cert, cert_length);
  if (v.key == nullptr) return fail("ERROR: Could not load public key.\n");

  if (archive->size < 16) return fail("ERROR: Could not seek to the signature block.\n");
  if (archive->size < 20) return fail("ERROR: Could not read number of signatures.\n");
  const std::uint32_t count = vpk_read_u32(archive->data + 16);
  if (count > kVpkMaxSignatures) {
    std::fprintf(stderr, "ERROR: At most %d signatures can be specified.\n", static_cast<int>(kVpkMaxSignatures));
    return -1;
  }
  if (count == 0) return fail("ERROR: There must be at least one signature.\n");
  if (extract_signatures(archive, v, count) != 0) return -1;

  if (SECKEY_PublicKeyStrength(v.key) < kVpkMinKeyBytes) {
    std::fprintf(stderr, "ERROR: Key length must be >= %d bytes\n", static_cast<int>(kVpkMinKeyBytes));
    return -1;
  }
  v.context = VFY_CreateContext(v.key, nullptr, SEC_OID_PKCS1_SHA384_WITH_RSA_ENCRYPTION, nullptr);
  if (v.context == nullptr || VFY_Begin(v.context) != SECSuccess) {
    return fail("ERROR: Could not initialize signature handle.\n");
  }
  if (feed_signed_stream(archive, v.context, count) != 0) return -1;

  // One key checks one signature: an archive carrying more than one never passes.
  SECItem signature{siBuffer, v.entries[0].bytes, v.entries[0].length};
  if (VFY_EndWithSignature(v.context, &signature) != SECSuccess || count != 1) {
    return fail("ERROR: Error verifying signature.\n");
  }
  return 0;
}
