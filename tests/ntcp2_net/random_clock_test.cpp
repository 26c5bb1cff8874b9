#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ntcp2_net/clock.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/random.h"
#include "test_util.h"
#include "tests/support/child_process.h"

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

// Random bytes need no descriptor: a process that has used up its descriptors still gets
// them (and so can still make the keys of a handshake).
TEST(RandomBytes, AvailableWithNoDescriptorLeft) {
  test_support::ChildProcess child([](test_support::LineChannel& parent) {
    const int lowest_free = ::dup(0);
    if (lowest_free < 0) return 10;
    ::close(lowest_free);
    const rlimit limit{static_cast<rlim_t>(lowest_free), static_cast<rlim_t>(lowest_free)};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 11;
    const int probe = ::open("/dev/null", O_RDONLY);
    const bool exhausted = probe < 0 && errno == EMFILE;
    auto bytes = ntcp2_net::random_bytes(64);
    parent.send(std::string("exhausted=") + (exhausted ? "1" : "0") +
                " random=" + (bytes && bytes->size() == 64 && *bytes != Bytes(64, 0) ? "1" : "0"));
    return 0;
  });
  ASSERT_TRUE(child.started());
  const auto report = child.channel().receive(10000);
  ASSERT_TRUE(report);
  EXPECT_EQ(child.wait(10000), 0);
  EXPECT_EQ(*report, "exhausted=1 random=1");
}

TEST(RandomBytes, GlueRefusesBadArguments) {
  std::uint8_t buf[1];
  EXPECT_EQ(ondrel_i2p_net_random_bytes(buf, -1), -1);
  EXPECT_EQ(ntcp2_net_test::glue_error(), "invalid random_bytes arguments");
  EXPECT_EQ(ondrel_i2p_net_random_bytes(nullptr, 4), -1);
  EXPECT_EQ(ondrel_i2p_net_random_bytes(nullptr, 0), 0);
}

TEST(Clock, MatchesSystemClock) {
  auto before =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  std::uint64_t now = ondrel_i2p_net_unix_time_ms();
  auto after =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
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

// The descriptor limit and the count of open descriptors, against the limit set and a probe
// of every descriptor number. In a child, since the limit is lowered.
TEST(Descriptors, LimitAndOpenCountMatchTheSystem) {
  test_support::ChildProcess child([](test_support::LineChannel&) {
    rlimit limit{100, 100};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 10;
    if (ondrel_i2p_net_descriptor_limit() != 100) return 11;
    auto probe = [] {
      int n = 0;
      for (int fd = 0; fd < 65536; ++fd)
        n += ::fcntl(fd, F_GETFD) != -1 ? 1 : 0;  // inherited ones may lie above the limit
      return n;
    };
    if (ondrel_i2p_net_open_descriptors() != probe()) return 12;
    const int a = ::dup(0), b = ::dup(0), c = ::dup(0);
    if (a < 0 || b < 0 || c < 0) return 13;
    if (ondrel_i2p_net_open_descriptors() != probe()) return 14;
    // At the limit nothing can be listed: -1, not a wrong count.
    std::vector<int> filler;
    for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) filler.push_back(fd);
    if (ondrel_i2p_net_open_descriptors() != -1) return 15;
    return 0;
  });
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.wait(10000), 0);
}
