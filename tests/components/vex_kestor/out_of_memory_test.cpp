// Running out of memory inside the glue: the allocation failure is caught at the boundary,
// logged at the glue's line, and becomes PATCH_MEMORY_ERROR; nothing is thrown to the updater.
// This test program replaces the global operator new so that one chosen allocation fails.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "base/logging.h"
#include "components/vex_kestor/vex_kestor.h"
#include "tests/components/kestor/kestor_test_support.h"
#include "tests/components/vex_kestor/glue_test_support.h"
#include "tests/updater/test_util.h"
#include "updater/kestor_patcher.h"

namespace {

// Allocations left before the one that fails; negative: none fails.
std::atomic<long> g_allocations_before_failure{-1};

}  // namespace

namespace {

void* Allocate(std::size_t size) noexcept {
  if (g_allocations_before_failure.load() >= 0 && g_allocations_before_failure.fetch_sub(1) == 0) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void* AllocateOrThrow(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}

}  // namespace

// Every plain form, so that whatever the library allocates with is released by its match.
void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using updater_test::log_text;

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class OutOfMemory : public testing::Test {
 protected:
  void SetUp() override {
    install_kestor_log_hooks();
    const std::vector<kestor_test::Bytes> r = kestor_test::RunPython(
        "old = bytes(range(256)) * 64\n"
        "new = old[:5000] + b'inserted' + old[5000:]\n"
        "e = kp.Element(0, len(old), 0, len(new), equivalences=[(0, 0, 5000), (5000, 5008, len(old) - 5000)],\n"
        "               extra_data=b'inserted')\n"
        "out(0, old)\nout(1, kp.patch_for(old, new, [e]))\n",
        2);
    ASSERT_EQ(r.size(), 2u);
    old_image_ = r[0];
    ASSERT_TRUE(updater_test::write_file(dir_ / "patch", std::string(r[1].begin(), r[1].end())));
    patch_ = std::fopen((dir_ / "patch").c_str(), "rb");
    out_ = std::fopen((dir_ / "new").c_str(), "wb+");
  }
  void TearDown() override {
    g_allocations_before_failure = -1;
    logging::gLogMessageHandler = nullptr;
    logging::gLogPrintHook = nullptr;
    std::fclose(patch_);
    std::fclose(out_);
  }

  updater_test::TempDir dir_;
  updater_test::ScopedLog log_{dir_ / "update.log"};
  kestor_test::Bytes old_image_;
  std::FILE* patch_ = nullptr;
  std::FILE* out_ = nullptr;
};

TEST_F(OutOfMemory, WhileSettingUpThePatcher) {
  g_allocations_before_failure = 1;  // the patcher itself, then its engine state
  std::unique_ptr<Patcher> patcher = create_kestor_patcher();
  g_allocations_before_failure = -1;
  EXPECT_EQ(patcher->ReadHeader(patch_), PATCH_MEMORY_ERROR);
  const std::vector<std::string> lines = glue_test::LogLines("kestor");
  ASSERT_EQ(lines.size(), 2u) << log_text();
  EXPECT_TRUE(EndsWith(lines[0], "vex_kestor.cpp:180] std::bad_alloc caught in kestor.")) << lines[0];
  EXPECT_EQ(lines[1], "FromKestorStatus: encountered kestor error 100, converting to updater error 12");
}

TEST_F(OutOfMemory, WhileReadingThePatch) {
  std::unique_ptr<Patcher> patcher = create_kestor_patcher();
  g_allocations_before_failure = 0;
  EXPECT_EQ(patcher->ReadHeader(patch_), PATCH_MEMORY_ERROR);
  g_allocations_before_failure = -1;
  const std::vector<std::string> lines = glue_test::LogLines("kestor");
  ASSERT_EQ(lines.size(), 2u) << log_text();
  EXPECT_TRUE(EndsWith(lines[0], "vex_kestor.cpp:237] std::bad_alloc caught in kestor.")) << lines[0];
  // The same patcher reads the patch once memory is back.
  EXPECT_EQ(patcher->ReadHeader(patch_), OK);
}

TEST_F(OutOfMemory, WhileApplying) {
  std::unique_ptr<Patcher> patcher = create_kestor_patcher();
  ASSERT_EQ(patcher->ReadHeader(patch_), OK);
  g_allocations_before_failure = 0;
  EXPECT_EQ(patcher->Apply(old_image_.data(), old_image_.size(), out_), PATCH_MEMORY_ERROR);
  g_allocations_before_failure = -1;
  const std::vector<std::string> lines = glue_test::LogLines("kestor");
  ASSERT_EQ(lines.size(), 2u) << log_text();
  EXPECT_TRUE(EndsWith(lines[0], "vex_kestor.cpp:326] std::bad_alloc caught in kestor.")) << lines[0];
  EXPECT_EQ(patcher->Apply(old_image_.data(), old_image_.size(), out_), OK);
}

}  // namespace
