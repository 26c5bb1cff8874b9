#include "sam/base64_value.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encoding/text.h"

namespace sam {
namespace {

// Values of every length class, written by the strict encoder, come back from the strict
// decoder whether or not their padding was stripped the way a library splitting at "="
// strips it.
TEST(SamBase64Value, StrippedPaddingIsRestoredForTheStrictDecoder) {
  const Bytes all = {0xF0, 0x15, 0x3A, 0xFF, 0x00, 0x84, 0xA9, 0xCE, 0xF3};
  for (std::size_t n = 0; n <= all.size(); ++n) {
    const Bytes bytes(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(n));
    const std::string padded = encoding::base64_encode(bytes);
    const std::string stripped = padded.substr(0, padded.find('='));
    EXPECT_EQ(with_base64_padding(stripped), padded) << n;
    EXPECT_EQ(with_base64_padding(padded), padded) << n;
    EXPECT_EQ(encoding::base64_decode(with_base64_padding(stripped)).value(), bytes) << n;
  }
}

TEST(SamBase64Value, OtherValuesAreLeftForTheDecoderToRefuse) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"A", "A"},  // 4n+1 can never be Base64
      {"AAAAA", "AAAAA"},
      {"~w=", "~w=="},   // one of two "=" lost
      {"ab+/", "ab+/"},  // the standard alphabet stays wrong
      {"TRANSIENT", "TRANSIENT"},
  };
  for (const auto& [value, want] : cases) EXPECT_EQ(with_base64_padding(value), want) << value;
  EXPECT_FALSE(encoding::base64_decode(with_base64_padding("A")));
  EXPECT_FALSE(encoding::base64_decode(with_base64_padding("ab+")));
}

}  // namespace
}  // namespace sam
