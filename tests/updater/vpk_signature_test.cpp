// The signature check against certificates: signatures from python3 'cryptography' and
// from `openssl dgst -sha384 -sign`, over the signed stream the independent writer forms.
#include "updater/vpk_signature.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/updater/vpk_test_util.h"
#include "updater/certificates.h"

namespace updater_test {
namespace {

constexpr const char* kVerifyFailed = "ERROR: Error verifying signature.\n";

std::string fixture(const std::string& name) {
  return read_file(std::string(ONDREL_TESTDATA_DIR) + "/updater/" + name).value_or("");
}

// Checks the open archive with one certificate; returns the result and what was printed.
std::pair<int, std::string> verify_with(const std::string& cert) {
  StderrCapture err;
  int rv = vpk_verify_signatures(vpk_archive(), reinterpret_cast<const std::uint8_t*>(cert.data()), cert.size());
  return {rv, err.text()};
}

std::pair<int, std::string> verify_with(int which) {
  VpkCertificate c = vpk_built_in_certificate(which);
  return verify_with(std::string(reinterpret_cast<const char*>(c.der), c.size));
}

class VpkSignature : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ensure_nss()); }
  TempDir dir_;
  ArchiveCloser closer_;
};

TEST_F(VpkSignature, TheLinkedCertificatesAreTheTestPair) {
  EXPECT_EQ(fixture("test_vpk_cert1.der").size(), vpk_built_in_certificate(1).size);
  EXPECT_EQ(fixture("test_vpk_cert1.der"), std::string(reinterpret_cast<const char*>(vpk_built_in_certificate(1).der),
                                                       vpk_built_in_certificate(1).size));
  EXPECT_EQ(fixture("test_vpk_cert2.der"), std::string(reinterpret_cast<const char*>(vpk_built_in_certificate(2).der),
                                                       vpk_built_in_certificate(2).size));
  EXPECT_EQ(vpk_built_in_certificate(3).der, nullptr);
  EXPECT_EQ(vpk_built_in_certificate(0).size, 0u);
}

// Which certificate accepts which archive: exactly one signature by that certificate's key.
TEST_F(VpkSignature, OnlyOneSignatureByTheCertificatesKeyPasses) {
  struct Case {
    const char* name;
    bool cert1, cert2;
  };
  const Case cases[] = {
      {"key1", true, false},
      {"key2", false, true},
      {"openssl_key1", true, false},
      {"untrusted", false, false},
      {"key1_twice", false, false},
      {"key1_then_key2", false, false},
      {"key2_then_key1", false, false},
      {"eight_by_key1", false, false},
      {"zero_signature", false, false},
  };
  auto archives = vpk_writer(R"(
import subprocess
items = [Item('updatev3.manifest', xz(b'type "partial"\n'))]
def signed(name, *keys):
    out(name, Vpk(items=items, signatures=[Signature(k) for k in keys]).build())
signed('key1', KEY1)
signed('key2', KEY2)
signed('untrusted', UNTRUSTED_KEY)
signed('key1_twice', KEY1, KEY1)
signed('key1_then_key2', KEY1, KEY2)
signed('key2_then_key1', KEY2, KEY1)
signed('eight_by_key1', *[KEY1] * 8)
out('zero_signature', Vpk(items=items, signatures=[Signature(raw=bytes(512))]).build())
# The signature made by the openssl command over the stream the writer forms.
v = Vpk(items=items, signatures=[Signature(raw=bytes(512))])
stream = signed_stream(v.build())
sig = subprocess.run(['openssl', 'dgst', '-sha384', '-sign', KEY1], input=stream, stdout=subprocess.PIPE,
                     check=True).stdout
v.signatures = [Signature(raw=sig)]
out('openssl_key1', v.build())
)");
  ASSERT_EQ(archives.size(), std::size(cases));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(open_vpk(dir_, archives[c.name]), OK);
    auto [rv1, err1] = verify_with(1);
    auto [rv2, err2] = verify_with(2);
    EXPECT_EQ(rv1, c.cert1 ? 0 : -1);
    EXPECT_EQ(err1, c.cert1 ? "" : kVerifyFailed);
    EXPECT_EQ(rv2, c.cert2 ? 0 : -1);
    EXPECT_EQ(err2, c.cert2 ? "" : kVerifyFailed);
  }
}

// One flipped bit anywhere in the signed bytes, or in the signature, breaks it.
TEST_F(VpkSignature, AnyFlippedByteBreaksTheSignature) {
  auto archives = vpk_writer(R"(
v = Vpk(items=[Item('updatev3.manifest', xz(b'add "a"\n')), Item('a', xz(b'content of a'))],
        signatures=[Signature(KEY1)])
out('good', v.build())
)");
  const std::string good = archives["good"];
  ASSERT_FALSE(good.empty());
  ASSERT_EQ(open_vpk(dir_, good), OK);
  ASSERT_EQ(verify_with(1).first, 0);

  const std::size_t sig_end = 20 + 8 + 512;
  // The header (index offset, total size, count), the signature entry's id and length,
  // the signature itself, the section block, the items, the index and the last byte.
  const std::size_t positions[] = {0,
                                   5,
                                   9,
                                   15,
                                   19,
                                   23,
                                   27,
                                   28,
                                   300,
                                   sig_end - 1,
                                   sig_end + 3,
                                   sig_end + 10,
                                   sig_end + 30,
                                   good.size() / 2,
                                   good.size() - 20,
                                   good.size() - 1};
  for (std::size_t at : positions) {
    SCOPED_TRACE(at);
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x01);
    ASSERT_EQ(open_vpk(dir_, bad), OK);
    EXPECT_EQ(verify_with(1).first, -1);
    EXPECT_EQ(verify_with(2).first, -1);
  }
  // One byte appended or removed at the end changes the signed stream too.
  for (const std::string& bad : {good + "x", good.substr(0, good.size() - 1)}) {
    ASSERT_EQ(open_vpk(dir_, bad), OK);
    EXPECT_EQ(verify_with(1).first, -1);
  }
}

// The release pair shipped by default: self-signed RSA-4096 certificates with their
// subjects, whose keys NSS loads and whose strength passes; a test archive fails with them.
TEST_F(VpkSignature, TheReleaseCertificatesCarryRsa4096KeysThatLoad) {
  auto archives = vpk_writer("out('a', Vpk(signatures=[Signature(KEY1)]).build())\n");
  ASSERT_EQ(open_vpk(dir_, archives["a"]), OK);
  for (int i = 1; i <= 2; ++i) {
    SCOPED_TRACE(i);
    const std::string path = cat(ONDREL_SOURCE_DIR, "/updater/certs/release_vpk_cert", std::to_string(i), ".der");
    const std::string text_path = dir_ / "cert.txt";
    ASSERT_EQ(
        std::system(("openssl x509 -inform DER -in " + path + " -noout -subject -issuer -text > " + text_path).c_str()),
        0);
    const std::string text = read_file(text_path).value_or("");
    const std::string subject = cat("CN = Release VPK signing key ", std::to_string(i));
    EXPECT_NE(text.find("subject=" + subject), std::string::npos) << text;
    EXPECT_NE(text.find("issuer=" + subject), std::string::npos) << text;
    EXPECT_NE(text.find("Public-Key: (4096 bit)"), std::string::npos) << text;
    auto [rv, err] = verify_with(read_file(path).value_or(""));
    EXPECT_EQ(rv, -1);
    EXPECT_EQ(err, kVerifyFailed);
  }
}

TEST_F(VpkSignature, KeysShorterThan2048BitsAreRefused) {
  auto archives = vpk_writer("out('short', Vpk(signatures=[Signature(SHORT_KEY)]).build())\n");
  ASSERT_EQ(open_vpk(dir_, archives["short"]), OK);
  auto [rv, err] = verify_with(fixture("short_vpk_cert.der"));
  EXPECT_EQ(rv, -1);
  EXPECT_EQ(err, "ERROR: Key length must be >= 256 bytes\n");
}

TEST_F(VpkSignature, ACertificateThatDoesNotParseLoadsNoKey) {
  ASSERT_EQ(open_vpk(dir_, vpk_writer("out('a', Vpk(signatures=[Signature(KEY1)]).build())\n")["a"]), OK);
  std::string cert = fixture("test_vpk_cert1.der");
  for (const std::string& bad : {std::string(), std::string("not a certificate"), cert.substr(0, cert.size() / 2)}) {
    auto [rv, err] = verify_with(bad);
    EXPECT_EQ(rv, -1);
    EXPECT_EQ(err, "ERROR: Could not load public key.\n");
  }
  StderrCapture capture;
  EXPECT_EQ(vpk_verify_signatures(vpk_archive(), nullptr, 10), -1);
  EXPECT_EQ(capture.text(), "ERROR: Could not load public key.\n");
}

TEST_F(VpkSignature, NoArchiveIsAnInvalidParameter) {
  StderrCapture err;
  VpkCertificate c = vpk_built_in_certificate(1);
  EXPECT_EQ(vpk_verify_signatures(nullptr, c.der, c.size), -1);
  EXPECT_EQ(err.text(), "ERROR: Invalid parameter specified.\n");
}

// Each refusal of the signature block, with its message.
TEST_F(VpkSignature, MalformedSignatureBlocksAreRefusedWithTheirMessage) {
  struct Case {
    const char* name;
    const char* message;
  };
  const Case cases[] = {
      {"size15", "ERROR: Could not seek to the signature block.\n"},
      {"size19", "ERROR: Could not read number of signatures.\n"},
      {"count9", "ERROR: At most 8 signatures can be specified.\n"},
      {"count_max", "ERROR: At most 8 signatures can be specified.\n"},
      {"count0", "ERROR: There must be at least one signature.\n"},
      {"no_algorithm", "ERROR: Could not read signatures algorithm ID.\n"},
      {"no_length", "ERROR: Could not read signatures length.\n"},
      {"length2049", "ERROR: Signature length is too large to verify.\n"},
      {"length_max", "ERROR: Signature length is too large to verify.\n"},
      {"cut_signature", "ERROR: Could not read extracted signature.\n"},
      {"second_cut", "ERROR: Could not read extracted signature.\n"},
      {"algorithm1", "ERROR: Unknown signature algorithm ID.\n"},
      {"algorithm3_second", "ERROR: Unknown signature algorithm ID.\n"},
  };
  auto archives = vpk_writer(R"(
good = Vpk(signatures=[Signature(KEY1)]).build()
out('size15', good[:15])
out('size19', good[:19])
def changed(name, **kw):
    v = Vpk(signatures=[Signature(KEY1)])
    for k, val in kw.items():
        setattr(v, k, val)
    out(name, v.build())
changed('count9', signature_count=9)
changed('count_max', signature_count=0xFFFFFFFF)
changed('count0', signature_count=0)
out('no_algorithm', good[:22])
out('no_length', good[:26])
out('length2049', Vpk(signatures=[Signature(raw=bytes(2049))]).build())
out('length_max', Vpk(signatures=[Signature(raw=bytes(4), length=0xFFFFFFFF)]).build())
out('cut_signature', good[:20 + 8 + 100])
out('second_cut', Vpk(signatures=[Signature(KEY1), Signature(raw=bytes(8), length=2048)], sections=[]).build())
out('algorithm1', Vpk(signatures=[Signature(KEY1, alg=1)]).build())
out('algorithm3_second', Vpk(signatures=[Signature(KEY1), Signature(KEY1, alg=3)]).build())
)");
  ASSERT_EQ(archives.size(), std::size(cases));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(open_vpk(dir_, archives[c.name]), OK);
    auto [rv, err] = verify_with(1);
    EXPECT_EQ(rv, -1);
    EXPECT_EQ(err, c.message);
  }
}

}  // namespace
}  // namespace updater_test
