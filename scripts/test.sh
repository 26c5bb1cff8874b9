#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice:
# a release build, and a debug build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

jobs=$(nproc)
run_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DONDREL_WERROR=ON "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
}

run_build build/release -DCMAKE_BUILD_TYPE=Release
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_build build/asan -DCMAKE_BUILD_TYPE=Debug -DONDREL_SANITIZE=ON -DONDREL_BENCH=OFF

if [ -f scripts/fuzz.sh ]; then
  bash scripts/fuzz.sh
fi
