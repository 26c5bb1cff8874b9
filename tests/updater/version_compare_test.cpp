// Version comparison and the parts it compares.
#include "updater/version_compare.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

// A text that may be absent, for comparing: "(absent)" stands for null.
std::string shown(const char* text, std::size_t length) {
  return text == nullptr ? "(absent)" : std::string(text, length);
}
std::string shown(const char* text) { return text == nullptr ? "(absent)" : std::string(text); }

TEST(VersionCompare, OrdersVersions) {
  struct Case {
    const char* a;
    const char* b;
    int want;  // compare_versions(a, b)
  };
  const Case cases[] = {
      {"153.8.0", "153.8.0", 0},
      {"153.8.0", "153.8.1", -1},
      {"153.8.0", "154", -1},
      {"153.8.0", "153.7.9", 1},
      {"153.8.0", "153.8", 0},  // a missing part compares as 0
      {"153.8.0", "153.8.0.0", 0},
      {"153.8.0", "153.8.0a", 1},   // a part with a text is older than one without
      {"153.8.0", "153.8.0+", -1},  // "0+" is "1pre"
      {"153.8.1", "153.8.0+", 1},   // ... which is older than 1
      {"153.8.0", "153.8.", 0},     // nothing after the last '.'
      {"1.0a", "1.0b", -1},
      {"1.0b", "1.0b1", -1},  // the same text: the second number decides
      {"1.0b2", "1.0b10", -1},
      {"1.0ab", "1.0a", 1},       // an equal prefix: the longer text is greater
      {"1.0b1pre", "1.0b1", -1},  // an extra text is older than none
      {"1.0b1a", "1.0b1b", -1},
      {"1.*", "1.99999", 1},  // "*" is the greatest number
      {"*", "2147483647", 0},
      {"1.-1", "1.0", -1},  // numbers are signed
      {"10", "9", 1},
      {"99999999999", "0", 0},  // a number too large for an int counts as 0
      {"1.0\x80", "1.0a", -1},  // texts compare as signed bytes
      {"", "0", 0},
      {"", "0.0.1", -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compare_versions(c.a, c.b), c.want) << c.a << " vs " << c.b;
    EXPECT_EQ(compare_versions(c.b, c.a), -c.want) << c.b << " vs " << c.a;
  }
}

TEST(VersionCompare, ParsesOnePartAndReturnsTheRest) {
  struct Case {
    const char* text;
    int first;
    const char* part_text;  // null: absent
    int second;
    const char* extra;  // null: absent
    const char* rest;   // null: none
  };
  const Case cases[] = {
      {"153.8.0", 153, nullptr, 0, nullptr, "8.0"},
      {"0", 0, nullptr, 0, nullptr, nullptr},
      {"7.", 7, nullptr, 0, nullptr, nullptr},
      {"*.1", INT_MAX, nullptr, 0, nullptr, "1"},
      {"**", 0, "**", 0, nullptr, nullptr},
      {"3+.x", 4, "pre", 0, nullptr, "x"},
      {"2147483647+", INT_MAX, "pre", 0, nullptr, nullptr},
      {"1b2rc.5", 1, "b", 2, "rc", "5"},
      {"1beta", 1, "beta", 0, nullptr, nullptr},
      {"1a-3x", 1, "a", -3, "x", nullptr},
      {"1a+", 1, "a", 0, "+", nullptr},  // '+' starts no number: what follows is the extra text
      {"5-", 5, "", 0, "-", nullptr},
      {"x1", 0, "x", 1, nullptr, nullptr},
      {"1a99999999999b", 1, "a", 0, "b", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    VersionPart p;
    const char* rest = parse_version_part(c.text, &p);
    EXPECT_EQ(p.first, c.first);
    EXPECT_EQ(shown(p.text, p.text_length), shown(c.part_text));
    EXPECT_EQ(p.second, c.second);
    EXPECT_EQ(shown(p.extra, p.extra_length), shown(c.extra));
    EXPECT_EQ(shown(rest), shown(c.rest));
  }
  VersionPart p;
  p.first = 9;
  EXPECT_EQ(parse_version_part(nullptr, &p), nullptr);
  EXPECT_EQ(p.first, 0);
}

}  // namespace
