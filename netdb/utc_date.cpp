#include "netdb/utc_date.h"

namespace netdb {

std::string pad2(int value) {
  std::string digits = std::to_string(value);
  return value <= 9 ? "0" + digits : digits;
}

std::string format_utc_date(std::uint64_t unix_seconds) {
  // Civil date from a day count, over 400-year eras of 146,097 days counted from
  // 0000-03-01 (so that the leap day ends each era-year).
  const std::int64_t z = static_cast<std::int64_t>(unix_seconds / 86400) + 719468;
  const std::int64_t era = z / 146097;
  const std::int64_t doe = z - era * 146097;                                       // [0, 146096]
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // [0, 365]
  const std::int64_t mp = (5 * doy + 2) / 153;                                     // [0, 11], March first
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;                           // [1, 31]
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;                            // [1, 12]
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  return std::to_string(year) + pad2(static_cast<int>(month)) + pad2(static_cast<int>(day));
}

}  // namespace netdb
