#!/usr/bin/env bash
# The Debian 12 packages this project builds, tests and runs with.
# Installs only the ones that are missing, so a second run does nothing.
set -euo pipefail

PACKAGES=(
  # toolchain and build
  g++ cmake ninja-build pkg-config
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # independent implementations used only by tests and benchmarks
  libssl-dev zlib1g-dev python3 openssl gzip
  # 32-bit x86 programs built by the patch engine's tests (gcc -m32)
  gcc-multilib
  # PE and ARM programs assembled and linked by the patch engine's tests (binutils only: the
  # gcc cross compilers conflict with gcc-multilib)
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 binutils-arm-linux-gnueabihf binutils-aarch64-linux-gnu
  # binary diffs made and applied by an independent tool (updater patch tests, benchmark)
  bsdiff
  # update archives in tests: items from the xz command, signatures from python3 'cryptography'
  xz-utils python3-cryptography
  # BitTorrent references used only by tests and benchmarks: libtorrent (python3 module and C++
  # library), and .torrent files made and read by mktorrent and transmission's tools
  python3-libtorrent libtorrent-rasterbar-dev mktorrent transmission-cli
  # fuzzing (libFuzzer with the sanitizers)
  clang libclang-rt-dev
  # router runtime: allocator and the HTTPS download program
  libmimalloc-dev curl
  # updater: archive items (XZ) and their signature check (NSS)
  liblzma-dev libnss3-dev libnspr4-dev
  # updater: the progress window
  libgtk-3-dev
  # updater window tests: a display of their own, window properties and a screenshot
  xvfb x11-utils imagemagick
)

if [ "${1:-}" = "--list" ]; then
  printf '%s\n' "${PACKAGES[@]}"
  exit 0
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}"
