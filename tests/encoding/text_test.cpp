#include "encoding/text.h"

#include <gtest/gtest.h>

#include <random>
#include <optional>
#include <string>
#include <vector>

using encoding::base32_decode;
using encoding::base32_encode;
using encoding::base64_decode;
using encoding::base64_encode;
using encoding::hex_decode;
using encoding::hex_encode;

namespace {

Bytes B(std::string_view s) { return to_bytes(s); }

void expect_error(const Result<Bytes>& r, EncodingError variant, std::string_view message) {
  ASSERT_FALSE(r.has_value()) << "expected failure: " << message;
  EXPECT_TRUE(r.error().is(variant)) << to_string(r.error());
  EXPECT_EQ(r.error().message(), message);
}

Bytes random_bytes(std::mt19937& rng, std::size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

}  // namespace

// RFC 4648 section 10, with the I2P alphabet (these vectors use no "+" or "/").
TEST(Base64, Rfc4648Vectors) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (auto [plain, coded] : cases) {
    EXPECT_EQ(base64_encode(B(plain)), coded);
    EXPECT_EQ(base64_decode(coded).value(), B(plain)) << coded;
  }
}

TEST(Base64, I2pAlphabetReplacesPlusAndSlash) {
  // Standard Base64 of FB FF BF is "+/+/"; I2P writes "-~-~".
  EXPECT_EQ(base64_encode(Bytes{0xFB, 0xFF, 0xBF}), "-~-~");
  EXPECT_EQ(base64_decode("-~-~").value(), (Bytes{0xFB, 0xFF, 0xBF}));
  EXPECT_EQ(base64_encode(Bytes{0xFF}), "~w==");
  EXPECT_EQ(base64_decode("~w==").value(), Bytes{0xFF});
}

TEST(Base64, WhitespaceIsSkippedAndPaddingBitsIgnored) {
  EXPECT_EQ(base64_decode(" Zm9v\r\nYmFy\t").value(), B("foobar"));
  EXPECT_EQ(base64_decode("  \n").value(), Bytes{});
  EXPECT_EQ(base64_decode("~x==").value(), Bytes{0xFF});  // low bits of "x" are dropped
}

TEST(Base64, Errors) {
  expect_error(base64_decode("~w=A"), EncodingError::InvalidData, "invalid Base64 padding");
  expect_error(base64_decode("~w==AAAA"), EncodingError::InvalidData, "Base64 padding before end of input");
  expect_error(base64_decode("Zm8=AAAA"), EncodingError::InvalidData, "Base64 padding before end of input");
  expect_error(base64_decode("AAAAA"), EncodingError::BadLength, "I2P Base64 length must be a multiple of 4, got 5");
  expect_error(base64_decode("+w=="), EncodingError::InvalidData, "invalid I2P Base64 character code: 43");
  expect_error(base64_decode("/w=="), EncodingError::InvalidData, "invalid I2P Base64 character code: 47");
  expect_error(base64_decode("=w=="), EncodingError::InvalidData, "invalid I2P Base64 character code: 61");
  expect_error(base64_decode("A==="), EncodingError::InvalidData, "invalid I2P Base64 character code: 61");
  // A non-ASCII character counts as one character and is named by its code point.
  expect_error(base64_decode("\xC3\xA9"
                             "AAA"),
               EncodingError::InvalidData, "invalid I2P Base64 character code: 233");
}

TEST(Base64, RandomRoundTrips) {
  std::mt19937 rng(1);
  for (std::size_t n = 0; n < 200; ++n) {
    Bytes b = random_bytes(rng, n);
    std::string t = base64_encode(b);
    EXPECT_EQ(t.size(), (n + 2) / 3 * 4);
    EXPECT_EQ(base64_decode(t).value(), b);
  }
}

// RFC 4648 section 10, lower case, without padding.
TEST(Base32, Rfc4648Vectors) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"f", "my"},
      {"fo", "mzxq"},
      {"foo", "mzxw6"},
      {"foob", "mzxw6yq"},
      {"fooba", "mzxw6ytb"},
      {"foobar", "mzxw6ytboi"},
  };
  for (auto [plain, coded] : cases) {
    EXPECT_EQ(base32_encode(B(plain)), coded);
    EXPECT_EQ(base32_decode(coded).value(), B(plain)) << coded;
  }
}

TEST(Base32, CaseInsensitiveAndPaddingSkipped) {
  EXPECT_EQ(base32_decode("MZXW6===").value(), B("foo"));
  EXPECT_EQ(base32_decode("mzxw6").value(), B("foo"));
  EXPECT_EQ(base32_decode("MzX w6\n").value(), B("foo"));
  EXPECT_EQ(base32_decode("====").value(), Bytes{});
  EXPECT_EQ(base32_encode(Bytes(32, 0)).size(), 52u);
}

TEST(Base32, Errors) {
  const std::pair<const char*, std::uint32_t> cases[] = {
      {"mz0", '0'}, {"mz1", '1'}, {"8", '8'},     {"9a", '9'},
      {"a-b", '-'}, {"{", '{'},   {"\x7f", 0x7F}, {"\xE2\x82\xAC", 0x20AC},
  };
  for (auto [text, code] : cases) {
    expect_error(base32_decode(text), EncodingError::InvalidData, msg("invalid Base32 character code: ", code));
  }
}

TEST(Base32, RandomRoundTrips) {
  std::mt19937 rng(2);
  for (std::size_t n = 0; n < 100; ++n) {
    Bytes b = random_bytes(rng, n);
    std::string t = base32_encode(b);
    EXPECT_EQ(t.size(), (8 * n + 4) / 5);
    EXPECT_EQ(base32_decode(t).value(), b);
  }
}

TEST(Hex, EncodeDecode) {
  EXPECT_EQ(hex_encode(Bytes{}), "");
  EXPECT_EQ(hex_encode(Bytes{0x00, 0x0A, 0xFF, 0x7B}), "000aff7b");
  EXPECT_EQ(hex_decode("0a 1B\n").value(), (Bytes{0x0A, 0x1B}));
  EXPECT_EQ(hex_decode("").value(), Bytes{});
  std::mt19937 rng(3);
  for (std::size_t n = 0; n < 64; ++n) {
    Bytes b = random_bytes(rng, n);
    EXPECT_EQ(hex_decode(hex_encode(b)).value(), b);
  }
}

TEST(Hex, Errors) {
  expect_error(hex_decode("abc"), EncodingError::BadLength, "hex string has odd length: 3");
  expect_error(hex_decode("a b c"), EncodingError::BadLength, "hex string has odd length: 3");
  expect_error(hex_decode("zz"), EncodingError::InvalidData, "invalid hex character code: 122");
  expect_error(hex_decode("0g"), EncodingError::InvalidData, "invalid hex character code: 103");
  auto n = encoding::hex_nibble('G');
  ASSERT_FALSE(n);
  EXPECT_EQ(n.error().message(), "invalid hex character code: 71");
  EXPECT_EQ(encoding::hex_nibble('F').value(), 15);
}

namespace {

struct Utf8Case {
  Bytes bytes;
  const char* error;  // nullptr: valid
};

}  // namespace

TEST(Utf8, DecodeTable) {
  const Utf8Case cases[] = {
      {{}, nullptr},
      {{'a', 'b'}, nullptr},
      {{0xC3, 0xA9}, nullptr},              // U+00E9
      {{0xE2, 0x82, 0xAC}, nullptr},        // U+20AC
      {{0xF0, 0x9F, 0x98, 0x80}, nullptr},  // U+1F600
      {{0xF4, 0x8F, 0xBF, 0xBF}, nullptr},  // U+10FFFF
      {{0xED, 0xA0, 0x80}, nullptr},        // unpaired surrogate U+D800, carried through
      {{0xC3}, "truncated 2-byte UTF-8 sequence"},
      {{0xE2, 0x82}, "truncated 3-byte UTF-8 sequence"},
      {{0xF0, 0x9F, 0x98}, "truncated 4-byte UTF-8 sequence"},
      {{0x80}, "invalid UTF-8 lead byte: 128"},
      {{0xBF}, "invalid UTF-8 lead byte: 191"},
      {{0xF8, 0x80, 0x80, 0x80}, "invalid UTF-8 lead byte: 248"},
      {{0xFF}, "invalid UTF-8 lead byte: 255"},
      // A lead byte may not swallow a following delimiter.
      {{0xC3, '\n'}, "invalid UTF-8 continuation byte: 10"},
      {{0xE2, 0x82, 'x'}, "invalid UTF-8 continuation byte: 120"},
      // Overlong forms would let several byte strings decode to one text.
      {{0xC0, 0x80}, "overlong 2-byte UTF-8 sequence"},
      {{0xC1, 0xBF}, "overlong 2-byte UTF-8 sequence"},
      {{0xE0, 0x80, 0xAF}, "overlong 3-byte UTF-8 sequence"},
      {{0xF0, 0x80, 0x80, 0xAF}, "overlong 4-byte UTF-8 sequence"},
      {{0xF4, 0x90, 0x80, 0x80}, "UTF-8 code point above U+10FFFF: 1114112"},
      {{0xF7, 0xBF, 0xBF, 0xBF}, "UTF-8 code point above U+10FFFF: 2097151"},
  };
  for (const auto& c : cases) {
    auto r = encoding::utf8_bytes_to_string(c.bytes);
    if (c.error == nullptr) {
      ASSERT_TRUE(r.has_value()) << hex_encode(c.bytes) << ": " << to_string(r.error());
      EXPECT_EQ(encoding::string_to_utf8_bytes(*r), c.bytes);
    } else {
      ASSERT_FALSE(r.has_value()) << hex_encode(c.bytes);
      EXPECT_TRUE(r.error().is(EncodingError::InvalidData));
      EXPECT_EQ(r.error().message(), c.error) << hex_encode(c.bytes);
    }
  }
}

TEST(Utf8, SanitizeReplacesEachInvalidSequence) {
  EXPECT_EQ(encoding::utf8_sanitize(B("plain")), "plain");
  EXPECT_EQ(encoding::utf8_sanitize(Bytes{'a', 0xFF, 'b'}),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(encoding::utf8_sanitize(Bytes{0xC3}), "\xEF\xBF\xBD");
  EXPECT_EQ(encoding::utf8_sanitize(Bytes{0xC0, 0x80, 'x'}),
            "\xEF\xBF\xBD"
            "x");
  EXPECT_EQ(encoding::utf8_sanitize(Bytes{0xC3, 0xA9, 0x80, 0xC3, 0xA9}), "\xC3\xA9\xEF\xBF\xBD\xC3\xA9");
}

TEST(ParsePort, AcceptsDigitsUpTo65535) {
  struct Case {
    std::string text;
    std::optional<std::uint16_t> port;
  };
  const std::vector<Case> cases = {
      {"0", 0},           {"7656", 7656},      {"65535", 65535}, {"000000000080", 80}, {"65536", {}},
      {"4294967296", {}}, {"99999999999", {}}, {"", {}},         {"+80", {}},          {"-1", {}},
      {" 80", {}},        {"80 ", {}},         {"8a", {}},       {"\xD9\xA1", {}},  // Arabic-Indic digit one: not ASCII
  };
  for (const Case& c : cases) EXPECT_EQ(encoding::parse_port(c.text), c.port) << c.text;
}

TEST(AsciiText, UpperCasesAsciiLettersOnly) {
  EXPECT_EQ(encoding::ascii_upper("get"), "GET");
  EXPECT_EQ(encoding::ascii_upper("Http/1.1"), "HTTP/1.1");
  EXPECT_EQ(encoding::ascii_upper("caf\xC3\xA9-{z}"), "CAF\xC3\xA9-{Z}");
  EXPECT_EQ(encoding::ascii_upper(""), "");
}

TEST(AsciiText, LowerAndTrim) {
  EXPECT_EQ(encoding::ascii_lower("Stats.I2P"), "stats.i2p");
  EXPECT_EQ(encoding::ascii_lower("\xC3\x84Z@[`{"), "\xC3\x84z@[`{");  // only A-Z change
  EXPECT_EQ(encoding::trim(" \t name = value \r\n"), "name = value");
  EXPECT_EQ(encoding::trim("\xC2\xA0x\xC2\xA0"), "\xC2\xA0x\xC2\xA0");  // no-break space is no ASCII space
  EXPECT_EQ(encoding::trim(" \t\r\n"), "");
  EXPECT_EQ(encoding::trim(""), "");
}
