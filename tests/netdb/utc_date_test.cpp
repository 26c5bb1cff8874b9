#include "netdb/utc_date.h"

#include <gtest/gtest.h>

namespace netdb {
namespace {

TEST(Pad2, PadsSingleDigits) {
  EXPECT_EQ(pad2(7), "07");
  EXPECT_EQ(pad2(0), "00");
  EXPECT_EQ(pad2(9), "09");
  EXPECT_EQ(pad2(12), "12");
}

TEST(FormatUtcDate, MatchesTheCalendar) {
  // Expected dates computed with Python's datetime.utcfromtimestamp.
  struct Case {
    std::uint64_t seconds;
    const char* date;
  };
  const Case cases[] = {
      {0, "19700101"},          {86399, "19700101"},      {86400, "19700102"},
      {1709164800, "20240229"}, {1709251199, "20240229"}, {1709251200, "20240301"},
      {4107369600, "21000227"}, {4107456000, "21000228"}, {4107456000 + 86400, "21000301"},
      {951782400, "20000229"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_utc_date(c.seconds), c.date) << c.seconds;
}

}  // namespace
}  // namespace netdb
