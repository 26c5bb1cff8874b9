// Piece flags keep the number of set flags through every kind of change: a long run of
// mixed changes against a plain byte vector that is counted afresh after each one.
#include "torrent/piece_flags.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

namespace router {
namespace {

std::size_t recount(const Bytes& flags) {
  return static_cast<std::size_t>(std::count_if(flags.begin(), flags.end(), [](std::uint8_t f) { return f != 0; }));
}

TEST(PieceFlags, CountFollowsEveryChange) {
  std::mt19937 rng(1234);
  auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(rng() % n); };
  // Values as the engine writes them, and one that is neither 0 nor 1.
  auto value = [&] { return static_cast<std::uint8_t>(pick(5) == 0 ? 7 : pick(2)); };
  PieceFlags flags;
  Bytes model;
  for (int step = 0; step < 20'000; ++step) {
    const std::uint32_t op = pick(100);
    std::string what;
    if (op < 60 && !model.empty()) {
      const std::size_t at = pick(static_cast<std::uint32_t>(model.size()));
      const std::uint8_t v = value();
      what = "flags[" + std::to_string(at) + "] = " + std::to_string(v);
      if (op < 30) {
        flags[at] = v;
      } else if (op < 50) {
        flags.set(at, v);
      } else {
        // One flag copied from another through the reference.
        const std::size_t from = pick(static_cast<std::uint32_t>(model.size()));
        what = "flags[" + std::to_string(at) + "] = flags[" + std::to_string(from) + "]";
        flags[at] = flags[from];
        model[at] = model[from];
        ASSERT_EQ(flags.count(), recount(model)) << "step " << step << ": " << what;
        continue;
      }
      model[at] = v;
    } else if (op < 70) {
      const std::size_t n = pick(40);
      const std::uint8_t v = value();
      what = "resize(" + std::to_string(n) + ", " + std::to_string(v) + ")";
      flags.resize(n, v);
      model.resize(n, v);
    } else if (op < 78) {
      const std::size_t n = pick(40);
      const std::uint8_t v = value();
      what = "assign(" + std::to_string(n) + ", " + std::to_string(v) + ")";
      flags.assign(n, v);
      model.assign(n, v);
    } else if (op < 86) {
      Bytes fresh(pick(40));
      for (auto& f : fresh) f = value();
      what = "= bytes of " + std::to_string(fresh.size());
      model = fresh;
      flags = std::move(fresh);
    } else if (op < 90) {
      what = "clear()";
      flags.clear();
      model.clear();
    } else if (op < 95) {
      what = "copy";
      const PieceFlags copy = flags;
      flags = copy;
    } else {
      what = "resize(0)";
      flags.resize(0);
      model.clear();
    }
    ASSERT_EQ(flags.bytes(), model) << "step " << step << ": " << what;
    ASSERT_EQ(flags.count(), recount(model)) << "step " << step << ": " << what;
    ASSERT_EQ(flags.size(), model.size());
  }
}

TEST(PieceFlags, ConstructionAndReading) {
  const PieceFlags listed = {1, 0, 2, 0, 1};
  EXPECT_EQ(listed.count(), 3u);
  EXPECT_EQ(listed.size(), 5u);
  EXPECT_EQ(listed[2], 2);
  EXPECT_EQ(listed, (Bytes{1, 0, 2, 0, 1}));
  EXPECT_TRUE(PieceFlags().empty());
  EXPECT_EQ(PieceFlags().count(), 0u);
  PieceFlags grown;
  grown.resize(1000, 1);
  EXPECT_EQ(grown.count(), 1000u);
  grown.resize(10);
  EXPECT_EQ(grown.count(), 10u);
  grown[3] = 0;
  grown[3] = 0;  // clearing a clear flag changes nothing
  grown[4] = 1;  // setting a set flag changes nothing
  EXPECT_EQ(grown.count(), 9u);
}

}  // namespace
}  // namespace router
