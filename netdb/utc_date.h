#pragma once
// The UTC day as the eight digits that enter the daily routing key.
#include <cstdint>
#include <string>

namespace netdb {

// Decimal text of the value, with a leading "0" when it is at most 9.
std::string pad2(int value);

// The UTC date of a Unix time in seconds: the year in decimal, then the month and the
// day with two digits each ("19700101" for 0).
std::string format_utc_date(std::uint64_t unix_seconds);

}  // namespace netdb
