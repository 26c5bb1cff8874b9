// Replays the handshake vectors of an independent Noise implementation with our
// symmetric state. X25519 comes from OpenSSL here, so the test checks only the
// symmetric half: hash chaining, key derivation and the AEAD.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "encoding/text.h"
#include "noise/symmetric_state.h"
#include "tests/support/test_data.h"

namespace {

using Record = std::map<std::string, std::string>;

std::vector<Record> load_vectors() {
  std::istringstream in(test_support::read_text_file(test_support::test_data_path("noise-vectors.txt")));
  std::vector<Record> records;
  Record current;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') {
      if (line.empty() && !current.empty()) {
        records.push_back(std::move(current));
        current.clear();
      }
      continue;
    }
    const auto eq = line.find('=');
    if (eq != std::string::npos) current[line.substr(0, eq)] = line.substr(eq + 1);
  }
  if (!current.empty()) records.push_back(std::move(current));
  return records;
}

Bytes unhex(const std::string& s) { return *encoding::hex_decode(s); }

struct X25519Key {
  Bytes priv;
  Bytes pub;
};

X25519Key key_from_private(const Bytes& priv) {
  X25519Key k{priv, Bytes(32)};
  EVP_PKEY* p = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, priv.data(), priv.size());
  std::size_t len = 32;
  EVP_PKEY_get_raw_public_key(p, k.pub.data(), &len);
  EVP_PKEY_free(p);
  return k;
}

Bytes dh(const X25519Key& mine, const Bytes& their_pub) {
  EVP_PKEY* a = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, mine.priv.data(), mine.priv.size());
  EVP_PKEY* b = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, their_pub.data(), their_pub.size());
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(a, nullptr);
  Bytes out(32);
  std::size_t len = out.size();
  EVP_PKEY_derive_init(ctx);
  EVP_PKEY_derive_set_peer(ctx, b);
  EVP_PKEY_derive(ctx, out.data(), &len);
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(a);
  EVP_PKEY_free(b);
  return out;
}

Bytes cat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

// Both sides start from the protocol name, an empty prologue and the responder's
// static key as pre-message.
std::pair<noise::SymmetricState, noise::SymmetricState> start(const std::string& name, const Bytes& resp_static_pub) {
  auto init = noise::SymmetricState::initialize(as_bytes(name));
  init.mix_hash({});
  init.mix_hash(resp_static_pub);
  return {init, init};
}

}  // namespace

TEST(NoiseVectors, FileHasTheExpectedHandshakes) {
  const auto records = load_vectors();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].at("handshake"), "Noise_N_25519_ChaChaPoly_SHA256");
  EXPECT_EQ(records[1].at("handshake"), "Noise_XK_25519_ChaChaPoly_SHA256");
}

TEST(NoiseVectors, PatternN) {
  const auto r = load_vectors().at(0);
  const auto rs = key_from_private(unhex(r.at("resp_static")));
  const auto e = key_from_private(unhex(r.at("gen_init_ephemeral")));
  auto [init, resp] = start(r.at("handshake"), rs.pub);

  // -> e, es
  init.mix_hash(e.pub);
  init.mix_key(dh(e, rs.pub));
  const Bytes msg0 = cat(e.pub, *init.encrypt_and_hash(unhex(r.at("msg_0_payload"))));
  EXPECT_EQ(encoding::hex_encode(msg0), r.at("msg_0_ciphertext"));

  const Bytes re(msg0.begin(), msg0.begin() + 32);
  resp.mix_hash(re);
  resp.mix_key(dh(rs, re));
  auto payload = resp.decrypt_and_hash(ByteView(msg0).subspan(32));
  ASSERT_TRUE(payload.has_value());
  EXPECT_TRUE(payload->empty());
  EXPECT_EQ(resp.h, init.h);
}

TEST(NoiseVectors, PatternXK) {
  const auto r = load_vectors().at(1);
  const auto s = key_from_private(unhex(r.at("init_static")));
  const auto rs = key_from_private(unhex(r.at("resp_static")));
  const auto e = key_from_private(unhex(r.at("gen_init_ephemeral")));
  const auto re = key_from_private(unhex(r.at("gen_resp_ephemeral")));
  auto [init, resp] = start(r.at("handshake"), rs.pub);

  // -> e, es
  init.mix_hash(e.pub);
  init.mix_key(dh(e, rs.pub));
  const Bytes msg0 = cat(e.pub, *init.encrypt_and_hash({}));
  EXPECT_EQ(encoding::hex_encode(msg0), r.at("msg_0_ciphertext"));
  resp.mix_hash(e.pub);
  resp.mix_key(dh(rs, e.pub));
  ASSERT_TRUE(resp.decrypt_and_hash(ByteView(msg0).subspan(32)).has_value());

  // <- e, ee
  resp.mix_hash(re.pub);
  resp.mix_key(dh(re, e.pub));
  const Bytes msg1 = cat(re.pub, *resp.encrypt_and_hash({}));
  EXPECT_EQ(encoding::hex_encode(msg1), r.at("msg_1_ciphertext"));
  init.mix_hash(re.pub);
  init.mix_key(dh(e, re.pub));
  ASSERT_TRUE(init.decrypt_and_hash(ByteView(msg1).subspan(32)).has_value());

  // -> s, se
  const Bytes encrypted_static = *init.encrypt_and_hash(s.pub);
  init.mix_key(dh(s, re.pub));
  const Bytes msg2 = cat(encrypted_static, *init.encrypt_and_hash({}));
  EXPECT_EQ(encoding::hex_encode(msg2), r.at("msg_2_ciphertext"));

  auto their_static = resp.decrypt_and_hash(ByteView(msg2).first(48));
  ASSERT_TRUE(their_static.has_value());
  EXPECT_EQ(*their_static, s.pub);
  resp.mix_key(dh(re, *their_static));
  ASSERT_TRUE(resp.decrypt_and_hash(ByteView(msg2).subspan(48)).has_value());
  EXPECT_EQ(resp.h, init.h);
  EXPECT_EQ(resp.ck, init.ck);
}
