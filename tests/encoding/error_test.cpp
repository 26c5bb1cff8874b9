#include "encoding/error.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

TEST(Error, VariantFamilyAndMessage) {
  Error e(EncodingError::Truncated, msg("read_bytes: need ", 32, " bytes, have ", 4));
  EXPECT_TRUE(e.is(EncodingError::Truncated));
  EXPECT_FALSE(e.is(EncodingError::InvalidData));
  EXPECT_FALSE(e.is(CryptoError::InvalidKey));  // same index, other family
  EXPECT_TRUE(e.in_family<EncodingError>());
  EXPECT_EQ(e.family(), ErrorFamily::Encoding);
  EXPECT_EQ(e.message(), "read_bytes: need 32 bytes, have 4");
  EXPECT_EQ(e.inner(), nullptr);
  EXPECT_EQ(e.number_count(), 0);
}

TEST(Error, WrappingKeepsEveryLayer) {
  Error inner(EncodingError::Truncated, std::string("read_u8: unexpected EOF at 3"));
  Error mid(Ntcp2Error::Encoding, inner);
  Error outer(NetError::Protocol, mid);
  ASSERT_TRUE(outer.is(NetError::Protocol));
  ASSERT_NE(outer.inner(), nullptr);
  EXPECT_TRUE(outer.inner()->is(Ntcp2Error::Encoding));
  ASSERT_NE(outer.inner()->inner(), nullptr);
  EXPECT_EQ(*outer.inner()->inner(), inner);
  EXPECT_EQ(outer.innermost().message(), "read_u8: unexpected EOF at 3");
  EXPECT_TRUE(outer.message().empty());  // the wrapper adds no text
}

TEST(Error, NumericPayloads) {
  Error skew(Ntcp2Error::ClockSkew, 1700000000u, 1700000100u);
  EXPECT_EQ(skew.number_count(), 2);
  EXPECT_EQ(skew.number(0), 1700000000u);
  EXPECT_EQ(skew.number(1), 1700000100u);
  EXPECT_EQ(skew.number(2), std::nullopt);
  Error net(Ntcp2Error::NetworkIdMismatch, 7u);
  EXPECT_EQ(net.number_count(), 1);
  EXPECT_EQ(net.number(0), 7u);
  EXPECT_EQ(net.number(1), std::nullopt);
}

TEST(Error, AsGivesVariantOnlyInsideFamily) {
  Error e(RouterError::Message, std::string("torrent engine unavailable"));
  EXPECT_EQ(e.as<RouterError>(), RouterError::Message);
  EXPECT_EQ(e.as<NetError>(), std::nullopt);
}

TEST(Error, EqualityComparesPayloads) {
  EXPECT_EQ(Error(NetError::Closed), Error(NetError::Closed));
  EXPECT_NE(Error(NetError::Closed), Error(NetError::Timeout));
  EXPECT_NE(Error(NetError::Io, std::string("a")), Error(NetError::Io, std::string("b")));
  EXPECT_NE(Error(RouterError::Net, Error(NetError::Closed)), Error(RouterError::Net, Error(NetError::Timeout)));
}

TEST(Error, ResultCarriesValueOrError) {
  auto f = [](bool ok) -> Result<int> {
    if (!ok) return fail(CryptoError::AuthFailed);
    return 5;
  };
  EXPECT_EQ(f(true).value(), 5);
  ASSERT_FALSE(f(false).has_value());
  EXPECT_TRUE(f(false).error().is(CryptoError::AuthFailed));
}

TEST(Error, ToStringPrintsTheWholeChain) {
  struct Case {
    Error error;
    std::string text;
  };
  const Case cases[] = {
      {Error(NetError::Closed), "NetError::Closed"},
      {Error(EncodingError::Truncated, std::string("read_u8: unexpected EOF at 3")),
       "EncodingError::Truncated: read_u8: unexpected EOF at 3"},
      {Error(NetError::Protocol,
             Error(Ntcp2Error::Encoding, Error(EncodingError::Truncated, std::string("read_u8: unexpected EOF at 3")))),
       "NetError::Protocol > Ntcp2Error::Encoding > EncodingError::Truncated: read_u8: unexpected EOF at 3"},
      {Error(NetError::Protocol, Error(Ntcp2Error::ClockSkew, 1700000000u, 1700000100u)),
       "NetError::Protocol > Ntcp2Error::ClockSkew(1700000000, 1700000100)"},
      {Error(Ntcp2Error::NetworkIdMismatch, 7u), "Ntcp2Error::NetworkIdMismatch(7)"},
      {Error(RouterError::Net, Error(NetError::Io, std::string("accept failed: Too many open files"))),
       "RouterError::Net > NetError::Io: accept failed: Too many open files"},
      {Error(I2npError::ChecksumMismatch, 1u, 2u), "I2npError::ChecksumMismatch(1, 2)"},
      {Error(TunnelError::Crypto, Error(CryptoError::AuthFailed)), "TunnelError::Crypto > CryptoError::AuthFailed"},
      {Error(RatchetError::Noise, Error(NoiseError::NonceExhausted)),
       "RatchetError::Noise > NoiseError::NonceExhausted"},
      {Error(NetDbError::Common, Error(CommonError::Invalid, std::string("x"))),
       "NetDbError::Common > CommonError::Invalid: x"},
  };
  for (const Case& c : cases) EXPECT_EQ(to_string(c.error), c.text);
}

// Every variant of every family has its own name (a table that fell behind its enum would
// print numbers).
TEST(Error, ToStringNamesEveryVariant) {
  auto all = [](auto last) {
    std::vector<std::string> out;
    for (int v = 0; v <= static_cast<int>(last); ++v) out.push_back(to_string(Error(static_cast<decltype(last)>(v))));
    return out;
  };
  std::vector<std::vector<std::string>> families = {
      all(CryptoError::InvalidKey), all(EncodingError::Truncated), all(CommonError::Encoding), all(I2npError::Encoding),
      all(NoiseError::Crypto),      all(Ntcp2Error::Crypto),       all(NetError::Io),          all(NetDbError::Common),
      all(RatchetError::Crypto),    all(TunnelError::Crypto),      all(RouterError::Net)};
  std::set<std::string> seen;
  for (const auto& names : families) {
    for (const std::string& name : names) {
      EXPECT_EQ(name.find('#'), std::string::npos) << name;
      EXPECT_TRUE(seen.insert(name).second) << name;
    }
  }
  EXPECT_EQ(to_string(Error(NetError::Io)), "NetError::Io");
  EXPECT_EQ(to_string(Error(RouterError::Net)), "RouterError::Net");
}
