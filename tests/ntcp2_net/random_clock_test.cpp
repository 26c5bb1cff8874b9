#include <time.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "ntcp2_net/clock.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/random.h"
#include "test_util.h"

TEST(RandomBytes, EveryLengthUpToFourKiB) {
  for (std::size_t n = 0; n <= 4096; ++n) {
    auto r = ntcp2_net::random_bytes(n);
    ASSERT_TRUE(r.has_value()) << n;
    ASSERT_EQ(r->size(), n);
    if (n >= 16) {
      // 16 zero bytes from a working device: probability 2^-128.
      bool all_zero = true;
      for (auto b : *r) all_zero = all_zero && b == 0;
      ASSERT_FALSE(all_zero) << n;
    }
  }
}

TEST(RandomBytes, DrawsDifferAndCoverEveryByteValue) {
  auto a = ntcp2_net::random_bytes(32);
  auto b = ntcp2_net::random_bytes(32);
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);

  auto big = ntcp2_net::random_bytes(65536);
  ASSERT_TRUE(big);
  int seen[256] = {0};
  for (auto x : *big) ++seen[x];
  for (int v = 0; v < 256; ++v) {
    // Expected 256 each; a stuck or biased source falls far outside this band.
    EXPECT_GT(seen[v], 128) << v;
    EXPECT_LT(seen[v], 400) << v;
  }
}

TEST(RandomBytes, GlueRefusesBadArguments) {
  std::uint8_t buf[1];
  EXPECT_EQ(ondrel_i2p_net_random_bytes(buf, -1), -1);
  EXPECT_EQ(ntcp2_net_test::glue_error(), "invalid random_bytes arguments");
  EXPECT_EQ(ondrel_i2p_net_random_bytes(nullptr, 4), -1);
  EXPECT_EQ(ondrel_i2p_net_random_bytes(nullptr, 0), 0);
}

TEST(Clock, MatchesSystemClock) {
  auto before = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
  std::uint64_t now = ondrel_i2p_net_unix_time_ms();
  auto after = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
  EXPECT_GE(now, static_cast<std::uint64_t>(before));
  EXPECT_LE(now, static_cast<std::uint64_t>(after));
  EXPECT_GT(now, 1'600'000'000'000u);  // after September 2020
}

// The interval clock is CLOCK_MONOTONIC itself, read through the C library directly.
TEST(Clock, MonotonicMatchesClockMonotonic) {
  auto read = [] {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000;
  };
  const std::uint64_t before = read();
  const ntcp2_net::Now now = ntcp2_net::read_now();
  const std::uint64_t after = read();
  EXPECT_GE(now.mono_ms, before);
  EXPECT_LE(now.mono_ms, after);
  EXPECT_GT(now.wall_ms, 1'600'000'000'000u);
  EXPECT_EQ(now.wall_s(), static_cast<std::uint32_t>(now.wall_ms / 1000));
  const ntcp2_net::Now later = now.after(1500);
  EXPECT_EQ(later.mono_ms, now.mono_ms + 1500);
  EXPECT_EQ(later.wall_ms, now.wall_ms + 1500);
  EXPECT_LE(ondrel_i2p_net_monotonic_ms(), read());
}

class HomeDir : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* h = std::getenv("HOME");
    had_home_ = h != nullptr;
    if (had_home_) saved_ = h;
  }
  void TearDown() override {
    if (had_home_) {
      setenv("HOME", saved_.c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }
  bool had_home_ = false;
  std::string saved_;
};

TEST_F(HomeDir, CopiesHomeWithoutNul) {
  setenv("HOME", "/home/ondrel", 1);
  std::uint8_t buf[1024];
  std::int32_t n = ondrel_i2p_net_home_dir(buf, sizeof(buf));
  ASSERT_EQ(n, 12);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 12), "/home/ondrel");
  EXPECT_EQ(ondrel_i2p_net_home_dir(buf, 12), 12);  // exactly fits
}

TEST_F(HomeDir, UnsetTooLongOrNoCapacityGivesZero) {
  std::uint8_t buf[1024];
  setenv("HOME", "/home/ondrel", 1);
  EXPECT_EQ(ondrel_i2p_net_home_dir(buf, 11), 0);  // would be cut: counts as unknown
  EXPECT_EQ(ondrel_i2p_net_home_dir(buf, 0), 0);
  EXPECT_EQ(ondrel_i2p_net_home_dir(buf, -1), 0);
  std::string long_home = "/" + std::string(1100, 'h');
  setenv("HOME", long_home.c_str(), 1);
  EXPECT_EQ(ondrel_i2p_net_home_dir(buf, sizeof(buf)), 0);
  unsetenv("HOME");
  EXPECT_EQ(ondrel_i2p_net_home_dir(buf, sizeof(buf)), 0);
}

TEST(FlushStdout, Succeeds) { EXPECT_EQ(ondrel_i2p_net_flush_stdout(), 0); }
