#!/usr/bin/env bash
# Installs what is missing, builds in release mode and starts the router with its defaults.
# Arguments are passed on to the router.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j "$(nproc)"

if [ -x build/release/cmd/router/router ]; then
  exec build/release/cmd/router/router "$@"
fi
echo "the router program is not built yet: nothing runs"
