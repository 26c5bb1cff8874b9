#pragma once
// The fuzz targets' property check: a property that does not hold stops the run, so that
// libFuzzer keeps the input that broke it.
#include <cstdlib>

namespace fuzz_support {

inline void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace fuzz_support
