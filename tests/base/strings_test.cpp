#include "base/strings.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

TEST(FormatString, FormatsTextsOfEveryLengthUpTo32MiB) {
  // Texts of up to 1,023 characters fit the first buffer; from 1,024 on the text is
  // formatted again into one of its own size.
  for (int total : {3, 1023, 1024, 1025, 5000, 0x1FFFFFF}) {
    const std::string s = base::FormatString("<%*d>", total - 2, 7);
    ASSERT_EQ(s.size(), static_cast<std::size_t>(total));
    EXPECT_EQ(s.front(), '<');
    EXPECT_EQ(s.substr(s.size() - 2), "7>");
    EXPECT_EQ(s.find_first_not_of(' ', 1), s.size() - 2) << total;
  }
  const std::string text(5000, 'q');
  EXPECT_EQ(base::FormatString("%s!", text.c_str()), text + "!");
  EXPECT_EQ(base::FormatString("%u|%lu|%d", 4294967295u, 18446744073709551615ul, -5),
            "4294967295|18446744073709551615|-5");
}

TEST(FormatString, GivesUpPast32MiBAndOnFormatErrors) {
  // 0x2000000 characters need a buffer of 32 MiB + 1.
  EXPECT_EQ(base::FormatString("%*s", 0x2000000, ""), "");
  EXPECT_EQ(base::FormatString("%*s", 0x1FFFFFF, "").size(), 0x1FFFFFFu);
  // A wide character the C locale cannot convert makes the C library report an error.
  EXPECT_EQ(base::FormatString("a%lsb", L"\u00e9"), "");
}

TEST(FormatString, LeavesErrnoAlone) {
  for (int n : {10, 3000, 0x2000000}) {
    errno = EDOM;
    base::FormatString("%*s", n, "");
    EXPECT_EQ(errno, EDOM) << n;
  }
  errno = ERANGE;
  base::FormatString("a%lsb", L"\u00e9");
  EXPECT_EQ(errno, ERANGE);
}

}  // namespace
