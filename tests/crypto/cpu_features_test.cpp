#include "crypto/cpu_features.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

crypto::CpuFeatures all_on() {
  crypto::CpuFeatures f;
  f.sha = f.aes = f.avx2 = f.ssse3 = f.avx512 = f.avx512ifma = true;
  return f;
}

std::string describe(const crypto::CpuFeatures& f) {
  std::string out;
  const auto add = [&](bool on, const char* name) {
    if (on) out += std::string(out.empty() ? "" : ",") + name;
  };
  add(f.ssse3, "ssse3");
  add(f.avx2, "avx2");
  add(f.avx512, "avx512");
  add(f.avx512ifma, "ifma");
  add(f.sha, "sha");
  add(f.aes, "aes");
  return out;
}

}  // namespace

// The levels ChaCha20 and Poly1305 pick agree with the compiler's own reading of
// CPUID, less what ONDREL_CPU_CAP turns off, so the level tests run every path this
// CPU can take.
TEST(VectorLevels, AgreeWithTheCompilersCpuDetection) {
  __builtin_cpu_init();
  const bool avx512 =
      __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
  crypto::CpuFeatures compiler;
  compiler.ssse3 = __builtin_cpu_supports("ssse3") != 0;
  compiler.avx2 = __builtin_cpu_supports("avx2") != 0;
  compiler.avx512 = avx512;
  compiler.avx512ifma = avx512 && __builtin_cpu_supports("avx512ifma") != 0;
  compiler.sha = crypto::cpu_features().sha;  // not known to the compiler's table
  compiler.aes = crypto::cpu_features().aes;
  crypto::apply_cpu_cap(compiler, std::getenv("ONDREL_CPU_CAP"));
  EXPECT_EQ(crypto::cpu_features().ssse3, compiler.ssse3);
  EXPECT_EQ(crypto::cpu_features().avx2, compiler.avx2);
  EXPECT_EQ(crypto::cpu_features().avx512, compiler.avx512);
  EXPECT_EQ(crypto::cpu_features().avx512ifma, compiler.avx512ifma);
  crypto::VectorIsa expected = crypto::VectorIsa::Portable;
  if (compiler.ssse3) expected = crypto::VectorIsa::Ssse3;
  if (compiler.avx2) expected = crypto::VectorIsa::Avx2;
  if (compiler.avx512) expected = crypto::VectorIsa::Avx512;
  EXPECT_EQ(crypto::best_vector_isa(), expected);
  EXPECT_EQ(crypto::vector_isa_for(crypto::Engine::Best), expected);
  EXPECT_EQ(crypto::vector_isa_for(crypto::Engine::Portable), crypto::VectorIsa::Portable);
  EXPECT_TRUE(crypto::vector_isa_supported(crypto::VectorIsa::Portable));
}

TEST(CpuCap, TurnsOffFeaturesAndTheLevelsAboveThem) {
  struct Case {
    const char* cap;
    const char* left;
  };
  const Case cases[] = {
      {nullptr, "ssse3,avx2,avx512,ifma,sha,aes"},
      {"", "ssse3,avx2,avx512,ifma,sha,aes"},
      {"ifma", "ssse3,avx2,avx512,sha,aes"},
      {"avx512", "ssse3,avx2,sha,aes"},
      {"avx512,ifma", "ssse3,avx2,sha,aes"},
      {"avx2", "ssse3,sha,aes"},
      {"avx2,avx512,ifma,bmi2adx", "ssse3,sha,aes"},  // a name this build does not know is ignored
      {"ssse3", ""},                                  // the SHA and AES paths need SSSE3 too
      {"sha", "ssse3,avx2,avx512,ifma,aes"},
      {"aes,,sha", "ssse3,avx2,avx512,ifma"},
      {"AVX2, sha", "ssse3,avx2,avx512,ifma,sha,aes"},  // names are exact: no case folding, no spaces
      {"avx", "ssse3,avx2,avx512,ifma,sha,aes"},
  };
  for (const Case& c : cases) {
    crypto::CpuFeatures f = all_on();
    crypto::apply_cpu_cap(f, c.cap);
    EXPECT_EQ(describe(f), c.left) << (c.cap ? c.cap : "(null)");
  }
  // A feature the CPU lacks stays off whatever the cap says.
  crypto::CpuFeatures none;
  crypto::apply_cpu_cap(none, "avx2");
  EXPECT_EQ(describe(none), "");
}

// The cap is read from the environment at detection: this binary run again under each
// cap must see the capped level in the detection test above.
TEST(CpuCap, HoldsTheProcessFromTheEnvironment) {
  struct Case {
    const char* cap;
    crypto::VectorIsa expected;
  };
  const Case cases[] = {
      {"avx512,ifma", crypto::VectorIsa::Avx2},
      {"avx2", crypto::VectorIsa::Ssse3},
      {"ssse3", crypto::VectorIsa::Portable},
  };
  // Read here: in the shell that runs the command, /proc/self/exe is the shell.
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  for (const Case& c : cases) {
    if (!crypto::vector_isa_supported(c.expected)) continue;
    const std::string command = std::string("ONDREL_CPU_CAP=") + c.cap + " '" + self.string() +
                                "' --gtest_filter=VectorLevels.AgreeWithTheCompilersCpuDetection" + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "under ONDREL_CPU_CAP=" << c.cap;
    // And the capped level is what the parent computes for that cap.
    crypto::CpuFeatures f = crypto::cpu_features();
    crypto::apply_cpu_cap(f, c.cap);
    crypto::VectorIsa level = crypto::VectorIsa::Portable;
    if (f.ssse3) level = crypto::VectorIsa::Ssse3;
    if (f.avx2) level = crypto::VectorIsa::Avx2;
    if (f.avx512) level = crypto::VectorIsa::Avx512;
    EXPECT_EQ(level, c.expected) << c.cap;
  }
}
