// libFuzzer needs edge coverage. g++ offers only -fsanitize-coverage=trace-pc, whose callback
// the libFuzzer runtime no longer accepts, so the fuzz programs are linked with
// --wrap=__sanitizer_cov_trace_pc and each callback lands here: it bumps one counter chosen by
// the caller's address, in the section that libFuzzer reads as extra coverage counters.
#include <cstdint>

extern "C" {

__attribute__((section("__libfuzzer_extra_counters"), used)) std::uint8_t ondrel_fuzz_counters[1 << 16];

__attribute__((no_sanitize_coverage, no_sanitize_address, no_sanitize_undefined)) void
__wrap___sanitizer_cov_trace_pc() {
  auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  pc ^= pc >> 17;
  ondrel_fuzz_counters[static_cast<std::uint32_t>(pc * 0x9E3779B1u) >> 16]++;
}
}
