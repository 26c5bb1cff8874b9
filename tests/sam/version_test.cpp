#include "sam/version.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace sam {
namespace {

TEST(SamVersion, HighestSpokenVersionWithinTheClientsRange) {
  struct Case {
    std::optional<std::string_view> min, max;
    std::optional<std::string_view> want;
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::nullopt, "3.3"},
      {"3.1", "3.1", "3.1"},
      {"3.0", "3.1", "3.1"},
      {"3.0", "3.0", "3.0"},
      {"3.1", "3.3", "3.3"},
      {"3.2", std::nullopt, "3.3"},
      {std::nullopt, "3.2", "3.2"},
      {std::nullopt, "3.1", "3.1"},
      {"3", "3", "3.0"},          // a missing number is 0
      {"3.1.0", "3.1.0", "3.1"},  // so trailing zeros change nothing
      {"3.1", "3.1.5", "3.1"},
      {"2.0", "4", "3.3"},
      {"3.10", "3.20", std::nullopt},  // numbers, not decimals: 3.10 is above 3.3
      {"03.01", "03.01", "3.1"},
      {"3.4", std::nullopt, std::nullopt},
      {"3.4", "4.0", std::nullopt},
      {std::nullopt, "2.9", std::nullopt},
      {"3.3", "3.1", std::nullopt},  // an empty range
      {"", "3.3", std::nullopt},
      {"3.1", "", std::nullopt},
      {"3.", "3.3", std::nullopt},
      {".3", "3.3", std::nullopt},
      {"3..1", "3.3", std::nullopt},
      {"3.1a", "3.3", std::nullopt},
      {"-3", "3.3", std::nullopt},
      {"3.1.0.0", "3.3", "3.3"},
      {"3.1.0.0.0", "3.3", std::nullopt},  // more than four numbers
      {"0.000003", "3.3", std::nullopt},   // more than five digits
      {"0.99999", "3.3", "3.3"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(negotiate_version(c.min, c.max), c.want)
        << "MIN=" << c.min.value_or("<none>") << " MAX=" << c.max.value_or("<none>");
  }
}

}  // namespace
}  // namespace sam
