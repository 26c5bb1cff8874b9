#include "crypto/aes.h"

#include <algorithm>
#include <cstring>

#include "crypto/aes_core.h"
#include "crypto/aes_x86.h"

namespace crypto {

namespace {

Result<void> check_key(ByteView key) {
  if (key.size() != 32) return fail(CryptoError::InvalidKey, msg("AES-256 key must be 32 bytes, got ", key.size()));
  return {};
}

Result<void> check_block(ByteView key, ByteView block) {
  if (auto ok = check_key(key); !ok) return ok;
  if (block.size() != 16)
    return fail(CryptoError::InvalidLength, msg("AES block must be 16 bytes, got ", block.size()));
  return {};
}

Result<void> check_cbc(ByteView key, ByteView iv, ByteView data) {
  if (auto ok = check_key(key); !ok) return ok;
  if (iv.size() != 16) return fail(CryptoError::InvalidNonce, msg("AES-CBC IV must be 16 bytes, got ", iv.size()));
  if (data.size() % 16 != 0) {
    return fail(CryptoError::InvalidLength, msg("AES-CBC input must be a multiple of 16 bytes, got ", data.size()));
  }
  return {};
}

bool use_hardware(Engine engine) { return engine == Engine::Best && cpu_features().aes; }

// The portable loops read block b before writing it, so in and out may be the same.
void portable_cbc_encrypt(const AesSchedule& rk, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                          std::size_t blocks) {
  AesBlock chain;
  std::memcpy(chain.data(), iv, 16);
  for (std::size_t b = 0; b < blocks; ++b) {
    for (int i = 0; i < 16; ++i) chain[static_cast<std::size_t>(i)] ^= in[16 * b + static_cast<std::size_t>(i)];
    aes256_encrypt_block_with_rk(chain, rk);
    std::memcpy(out + 16 * b, chain.data(), 16);
  }
}

void portable_cbc_decrypt(const AesSchedule& rk, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                          std::size_t blocks) {
  AesBlock chain;
  std::memcpy(chain.data(), iv, 16);
  for (std::size_t b = 0; b < blocks; ++b) {
    AesBlock x;
    std::memcpy(x.data(), in + 16 * b, 16);
    const AesBlock cipher = x;
    aes256_decrypt_block_with_rk(x, rk);
    for (int i = 0; i < 16; ++i)
      out[16 * b + static_cast<std::size_t>(i)] = x[static_cast<std::size_t>(i)] ^ chain[static_cast<std::size_t>(i)];
    chain = cipher;
  }
}

void cbc_encrypt(const std::uint8_t* key, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                 std::size_t blocks, Engine engine) {
  if (use_hardware(engine)) {
    detail::aes256_cbc_encrypt_x86(key, iv, in, out, blocks);
    return;
  }
  portable_cbc_encrypt(aes256_expand_key(key), iv, in, out, blocks);
}

void cbc_decrypt(const std::uint8_t* key, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                 std::size_t blocks, Engine engine) {
  if (use_hardware(engine)) {
    detail::aes256_cbc_decrypt_x86(key, iv, in, out, blocks);
    return;
  }
  portable_cbc_decrypt(aes256_expand_key(key), iv, in, out, blocks);
}

void cbc_encrypt(const Aes256EncryptKey& key, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                 std::size_t blocks) {
  if (key.hardware) {
    detail::aes256_cbc_encrypt_rk_x86(key.rk.data(), iv, in, out, blocks);
  } else {
    portable_cbc_encrypt(key.rk, iv, in, out, blocks);
  }
}

void cbc_decrypt(const Aes256DecryptKey& key, const std::uint8_t* iv, const std::uint8_t* in, std::uint8_t* out,
                 std::size_t blocks) {
  if (key.hardware) {
    detail::aes256_cbc_decrypt_rk_x86(key.rk.data(), iv, in, out, blocks);
  } else {
    portable_cbc_decrypt(key.rk, iv, in, out, blocks);
  }
}

Result<void> check_cbc_spans(ByteView in, std::span<std::uint8_t> out) {
  if (in.size() % 16 != 0) {
    return fail(CryptoError::InvalidLength, msg("AES-CBC input must be a multiple of 16 bytes, got ", in.size()));
  }
  if (out.size() != in.size()) {
    return fail(CryptoError::InvalidLength, msg("AES-CBC output must be ", in.size(), " bytes, got ", out.size()));
  }
  return {};
}

constexpr std::uint8_t zero_iv[16] = {};

// A key already checked to have 32 bytes.
std::array<std::uint8_t, 32> key_array(ByteView key) {
  std::array<std::uint8_t, 32> out;
  std::memcpy(out.data(), key.data(), 32);
  return out;
}

}  // namespace

// A single block is CBC over one block with a zero chaining value.
Result<std::array<std::uint8_t, 16>> aes256_encrypt_block(ByteView key, ByteView block, Engine engine) {
  if (auto ok = check_block(key, block); !ok) return std::unexpected(ok.error());
  std::array<std::uint8_t, 16> out;
  cbc_encrypt(key.data(), zero_iv, block.data(), out.data(), 1, engine);
  return out;
}

Result<std::array<std::uint8_t, 16>> aes256_decrypt_block(ByteView key, ByteView block, Engine engine) {
  if (auto ok = check_block(key, block); !ok) return std::unexpected(ok.error());
  std::array<std::uint8_t, 16> out;
  cbc_decrypt(key.data(), zero_iv, block.data(), out.data(), 1, engine);
  return out;
}

Result<Bytes> aes256_cbc_encrypt(ByteView key, ByteView iv, ByteView data, Engine engine) {
  if (auto ok = check_cbc(key, iv, data); !ok) return std::unexpected(ok.error());
  Bytes out(data.size());
  cbc_encrypt(key.data(), iv.data(), data.data(), out.data(), data.size() / 16, engine);
  return out;
}

Result<Bytes> aes256_cbc_decrypt(ByteView key, ByteView iv, ByteView data, Engine engine) {
  if (auto ok = check_cbc(key, iv, data); !ok) return std::unexpected(ok.error());
  Bytes out(data.size());
  cbc_decrypt(key.data(), iv.data(), data.data(), out.data(), data.size() / 16, engine);
  return out;
}

Aes256EncryptKey aes256_encrypt_key(const std::array<std::uint8_t, 32>& key, Engine engine) {
  Aes256EncryptKey out;
  out.hardware = use_hardware(engine);
  if (out.hardware) {
    detail::aes256_expand_x86(key.data(), out.rk.data());
  } else {
    out.rk = aes256_expand_key(key.data());
  }
  return out;
}

// The portable decryption walks the encryption schedule backwards, so only the
// hardware path needs keys of its own.
Aes256DecryptKey aes256_decrypt_key(const std::array<std::uint8_t, 32>& key, Engine engine) {
  Aes256DecryptKey out;
  out.hardware = use_hardware(engine);
  if (out.hardware) {
    std::uint8_t enc[240];
    detail::aes256_expand_x86(key.data(), enc);
    detail::aes256_decryption_keys_x86(enc, out.rk.data());
  } else {
    out.rk = aes256_expand_key(key.data());
  }
  return out;
}

Result<Aes256EncryptKey> aes256_encrypt_key(ByteView key, Engine engine) {
  if (auto ok = check_key(key); !ok) return std::unexpected(ok.error());
  return aes256_encrypt_key(key_array(key), engine);
}

Result<Aes256DecryptKey> aes256_decrypt_key(ByteView key, Engine engine) {
  if (auto ok = check_key(key); !ok) return std::unexpected(ok.error());
  return aes256_decrypt_key(key_array(key), engine);
}

void aes256_encrypt_block(const Aes256EncryptKey& key, std::span<const std::uint8_t, 16> in,
                          std::span<std::uint8_t, 16> out) {
  cbc_encrypt(key, zero_iv, in.data(), out.data(), 1);
}

void aes256_decrypt_block(const Aes256DecryptKey& key, std::span<const std::uint8_t, 16> in,
                          std::span<std::uint8_t, 16> out) {
  cbc_decrypt(key, zero_iv, in.data(), out.data(), 1);
}

Result<void> aes256_cbc_encrypt(const Aes256EncryptKey& key, std::span<const std::uint8_t, 16> iv, ByteView in,
                                std::span<std::uint8_t> out) {
  if (auto ok = check_cbc_spans(in, out); !ok) return ok;
  cbc_encrypt(key, iv.data(), in.data(), out.data(), in.size() / 16);
  return {};
}

Result<void> aes256_cbc_decrypt(const Aes256DecryptKey& key, std::span<const std::uint8_t, 16> iv, ByteView in,
                                std::span<std::uint8_t> out) {
  if (auto ok = check_cbc_spans(in, out); !ok) return ok;
  cbc_decrypt(key, iv.data(), in.data(), out.data(), in.size() / 16);
  return {};
}

Result<void> aes256_cbc_encrypt_many(std::span<const CbcEncryptJob> jobs) {
  for (const CbcEncryptJob& job : jobs) {
    if (job.key == nullptr) return fail(CryptoError::InvalidKey, "AES-CBC job without a key");
    if (job.iv.size() != 16) {
      return fail(CryptoError::InvalidNonce, msg("AES-CBC IV must be 16 bytes, got ", job.iv.size()));
    }
    if (job.data.size() % 16 != 0) {
      return fail(CryptoError::InvalidLength,
                  msg("AES-CBC input must be a multiple of 16 bytes, got ", job.data.size()));
    }
  }
  constexpr std::size_t kLanes = 8;
  std::size_t i = 0;
  while (i < jobs.size()) {
    // A run of hardware keys goes through the lanes, up to eight at a time, for as many
    // blocks as its shortest job has; each job's rest continues alone from its chain.
    const CbcEncryptJob& first = jobs[i];
    if (!first.key->hardware) {
      cbc_encrypt(*first.key, first.iv.data(), first.data.data(), first.data.data(), first.data.size() / 16);
      if (!first.data.empty()) std::memcpy(first.iv.data(), first.data.data() + first.data.size() - 16, 16);
      ++i;
      continue;
    }
    const std::uint8_t* enc[kLanes];
    std::uint8_t* iv[kLanes];
    std::uint8_t* data[kLanes];
    std::size_t n = 0;
    std::size_t common = first.data.size() / 16;
    for (; n < kLanes && i + n < jobs.size() && jobs[i + n].key->hardware; ++n) {
      const CbcEncryptJob& job = jobs[i + n];
      enc[n] = job.key->rk.data();
      iv[n] = job.iv.data();
      data[n] = job.data.data();
      common = std::min(common, job.data.size() / 16);
    }
    if (common > 0) detail::aes256_cbc_encrypt_lanes_x86(enc, iv, data, n, common);
    for (std::size_t l = 0; l < n; ++l) {
      const CbcEncryptJob& job = jobs[i + l];
      const std::size_t rest = job.data.size() / 16 - common;
      if (rest == 0) continue;
      std::uint8_t* p = job.data.data() + 16 * common;
      detail::aes256_cbc_encrypt_rk_x86(job.key->rk.data(), job.iv.data(), p, p, rest);
      std::memcpy(job.iv.data(), p + 16 * (rest - 1), 16);
    }
    i += n;
  }
  return {};
}

void aes256_decrypt_blocks(std::span<const Aes256DecryptKey* const> keys, std::span<std::uint8_t* const> blocks) {
  constexpr std::size_t kLanes = 8;
  const std::size_t count = std::min(keys.size(), blocks.size());
  std::size_t i = 0;
  while (i < count) {
    if (!keys[i]->hardware) {
      cbc_decrypt(*keys[i], zero_iv, blocks[i], blocks[i], 1);
      ++i;
      continue;
    }
    const std::uint8_t* dec[kLanes];
    std::size_t n = 0;
    for (; n < kLanes && i + n < count && keys[i + n]->hardware; ++n) dec[n] = keys[i + n]->rk.data();
    detail::aes256_decrypt_lanes_x86(dec, blocks.data() + i, n);
    i += n;
  }
}

}  // namespace crypto
