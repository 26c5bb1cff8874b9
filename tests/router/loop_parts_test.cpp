// The router's table of loop parts: each part's timer ends the loop's wait, a part already
// held is not added twice, and a part beyond the table's bound is refused and left out.
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include <gtest/gtest.h>

#include "router/loop_parts.h"
#include "router/router.h"

namespace router {
namespace {

// A part whose timer falls due ms after now.
template <std::uint64_t ms>
std::uint64_t due_after(const Router&, const Now& now) {
  return now.mono_ms + ms;
}

// The ms after now at which part i falls due: each part sooner than the one before it.
constexpr std::uint64_t due_of(std::size_t i) { return 900 - 100 * i; }

template <std::size_t... I>
constexpr std::array<LoopPart, sizeof...(I)> parts_due_sooner(std::index_sequence<I...>) {
  return {LoopPart{&due_after<due_of(I)>, nullptr}...};
}

// One part more than the table holds.
static_assert(kMaxLoopParts < 9);
constexpr auto kParts = parts_due_sooner(std::make_index_sequence<kMaxLoopParts + 1>());

TEST(LoopParts, AFullTableRefusesAnotherPartAndKeepsThoseItHolds) {
  Router r;
  const Now now{.mono_ms = 5'000'000, .wall_ms = 1'700'000'000'000};
  EXPECT_EQ(r.next_wake_ms(now), now.mono_ms + kIdleWakeCapMs);
  for (std::size_t i = 0; i < kMaxLoopParts; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(add_loop_part(r, kParts[i]));
    EXPECT_EQ(r.next_wake_ms(now), now.mono_ms + due_of(i));
  }
  // A part already held is taken as added, the table being full or not.
  EXPECT_TRUE(add_loop_part(r, kParts[0]));

  const Result<void> refused = add_loop_part(r, kParts[kMaxLoopParts]);
  ASSERT_FALSE(refused);
  EXPECT_TRUE(refused.error().is(RouterError::Message)) << to_string(refused.error());
  // The refused part, due sooner than all, does not end the wait; those held still do.
  EXPECT_EQ(r.next_wake_ms(now), now.mono_ms + due_of(kMaxLoopParts - 1));
}

}  // namespace
}  // namespace router
