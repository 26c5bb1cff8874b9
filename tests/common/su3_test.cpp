#include "common/su3.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/common/test_util.h"
#include "tests/support/python_zip.h"
#include "tests/support/su3_fixture.h"
#include "tests/support/test_data.h"

namespace {

using test_support::make_su3;
using test_support::python_zip;
using test_support::Su3Fields;

Bytes testdata(const std::string& name) { return test_support::read_test_data("routerinfo/" + name); }

void expect_error(const Result<std::vector<common::RouterInfo>>& r, CommonError variant, std::string_view text) {
  ASSERT_FALSE(r.has_value()) << "expected: " << text;
  EXPECT_TRUE(r.error().is(variant));
  EXPECT_EQ(r.error().message(), text);
}

Bytes reseed_zip() {
  Bytes bad = testdata("plain-127.0.0.3.dat");
  if (bad.empty()) return {};   // the reader has failed the test already
  bad[bad.size() / 2] ^= 0x01;  // no longer verifies
  return python_zip(
      "z.write('ff-127.0.0.2.dat', 'routerInfo-ff.dat', compress_type=zipfile.ZIP_DEFLATED)\n"
      "z.write('bad.dat', 'routerInfo-bad.dat', compress_type=zipfile.ZIP_DEFLATED)\n"
      "z.writestr('README.txt', b'not a router')\n"
      "z.writestr('folder/', b'')\n"
      "z.write('plain-127.0.0.3.dat', 'routerInfo-plain.dat', compress_type=zipfile.ZIP_STORED)\n"
      "z.write('plain-127.0.0.3.dat', 'routerInfo-plain.DAT')\n",
      {{"ff-127.0.0.2.dat", testdata("ff-127.0.0.2.dat")},
       {"plain-127.0.0.3.dat", testdata("plain-127.0.0.3.dat")},
       {"bad.dat", bad}});
}

}  // namespace

TEST(Su3, ReseedKeepsVerifiedRouterInfosInArchiveOrder) {
  Bytes zip = reseed_zip();
  ASSERT_FALSE(zip.empty());
  auto r = common::parse_reseed_su3(make_su3(zip));
  ASSERT_TRUE(r) << to_string(r.error());
  ASSERT_EQ(r->size(), 2u);
  EXPECT_EQ((*r)[0].identity.keys_and_cert.hash().to_b32_address(),
            "caqhbjurlthg3emdqpmlvmp2wnlrhsr5o65wbd5nm6ytzfzcfida.b32.i2p");
  EXPECT_EQ((*r)[1].identity.keys_and_cert.hash().to_b32_address(),
            "osr4r4kruk2ql7usn4f73tieoi47riyhdqsaya5wet5irgmhykvq.b32.i2p");
}

TEST(Su3, HeaderFields) {
  auto su3 = common::parse_su3(make_su3(to_bytes("zip"), Su3Fields{.sig_len = 3}));
  ASSERT_TRUE(su3) << to_string(su3.error());
  EXPECT_EQ(su3->signature_type, 6);
  EXPECT_EQ(su3->version, "1700000000");
  EXPECT_EQ(su3->signer_id, "reseed@example.i2p");
  EXPECT_EQ(su3->content, to_bytes("zip"));
  EXPECT_EQ(su3->signature, (Bytes{0xA5, 0xA5, 0xA5}));
  EXPECT_EQ(su3->signature_offset, 40u + 10 + 18 + 3);
}

TEST(Su3, HeaderRefusals) {
  const Bytes zip = python_zip("");
  expect_error(common::parse_reseed_su3(Bytes(39, 0)), CommonError::Invalid, "SU3 file shorter than 40 bytes: 39");

  Bytes magic = make_su3(zip);
  magic[0] = 'i';
  expect_error(common::parse_reseed_su3(magic), CommonError::Unsupported,
               "invalid SU3 magic header (expected 'I2Psu3')");

  expect_error(common::parse_reseed_su3(make_su3(zip, Su3Fields{.version = 1})), CommonError::Unsupported,
               "unsupported SU3 format version: 1");
  expect_error(common::parse_reseed_su3(make_su3(zip, Su3Fields{.file_type = 1})), CommonError::Unsupported,
               "reseed SU3 must contain a ZIP file (type 0), got 1");
  expect_error(common::parse_reseed_su3(make_su3(zip, Su3Fields{.content_type = 2})), CommonError::Unsupported,
               "reseed SU3 must have content type 3, got 2");
}

TEST(Su3, ContentLengthLimit) {
  // Exactly 64 MiB passes the length test and then runs out of bytes; one more is refused.
  Bytes at_limit = make_su3(Bytes{}, Su3Fields{.content_len_delta = 0x4000000});
  auto r = common::parse_reseed_su3(at_limit);
  ASSERT_FALSE(r);
  ASSERT_TRUE(r.error().is(CommonError::Encoding));
  EXPECT_TRUE(r.error().inner()->is(EncodingError::Truncated));
  expect_error(common::parse_reseed_su3(make_su3(Bytes{}, Su3Fields{.content_len_delta = 0x4000001})),
               CommonError::Invalid, "SU3 content length too large");
}

TEST(Su3, MissingSignatureByteAndBadTextsFail) {
  Bytes su3 = make_su3(python_zip(""));
  su3.pop_back();
  auto r = common::parse_reseed_su3(su3);
  ASSERT_FALSE(r);
  ASSERT_TRUE(r.error().is(CommonError::Encoding));
  EXPECT_EQ(r.error().inner()->message(), "read_bytes: need 512 bytes, have 511");

  auto bad_text = common::parse_reseed_su3(make_su3(python_zip(""), Su3Fields{.signer = "\xC3"}));
  ASSERT_FALSE(bad_text);
  ASSERT_TRUE(bad_text.error().is(CommonError::Encoding));
  EXPECT_TRUE(bad_text.error().inner()->is(EncodingError::InvalidData));
}

TEST(Su3, ArchiveErrorsImportNothing) {
  auto empty = common::parse_reseed_su3(make_su3(python_zip("")));
  ASSERT_TRUE(empty) << to_string(empty.error());
  EXPECT_TRUE(empty->empty());

  auto garbage = common::parse_reseed_su3(make_su3(Bytes(64, 0)));
  ASSERT_FALSE(garbage);
  ASSERT_TRUE(garbage.error().is(CommonError::Encoding));
  EXPECT_EQ(garbage.error().inner()->message(), "ZIP End-of-Central-Directory signature not found");
}
