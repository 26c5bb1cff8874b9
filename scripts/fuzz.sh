#!/usr/bin/env bash
# Builds the fuzz targets (ASan + UBSan + coverage) and runs each for a few seconds.
# FUZZ_SECONDS sets the time per target (default 5). Seeds in fuzz/corpus/<name>/ are used
# when present; new inputs go to a scratch folder, never into the repository.
set -euo pipefail
cd "$(dirname "$0")/.."

secs=${FUZZ_SECONDS:-5}
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDREL_FUZZ=ON -DONDREL_SANITIZE=ON \
  -DONDREL_BENCH=OFF -DONDREL_WERROR=ON >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target fuzz_all

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for bin in build/fuzz/fuzz/fuzz_*; do
  [ -x "$bin" ] || continue
  name=${bin##*/fuzz_}
  mkdir -p "$scratch/$name"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  echo "fuzzing $name for ${secs}s"
  if ! ASAN_OPTIONS=detect_leaks=1 "$bin" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$scratch/" -print_final_stats=0 "$scratch/$name" "${seeds[@]}" >"$scratch/$name.log" 2>&1; then
    echo "fuzz target $name failed:"
    tail -n 40 "$scratch/$name.log"
    status=1
  fi
done
exit $status
