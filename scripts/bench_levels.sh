#!/usr/bin/env bash
# Runs crypto benchmarks once per instruction-set level, ours and OpenSSL held to the
# same instructions, so that each of our paths is compared with what OpenSSL does on a
# CPU of that level rather than with OpenSSL at its best.
#
#   scripts/bench_levels.sh [-l level,...] [-b build_dir] [binary...] [-- benchmark args...]
#
# Binaries default to bench_crypto, bench_curve and bench_sha256 in build_dir/bench
# (build/release by default), those that are built. Levels default to all below.
# Arguments after -- go to every binary (e.g. --benchmark_filter=Level
# --benchmark_repetitions=5 --benchmark_report_aggregates_only=true).
#
# Our code is held through ONDREL_CPU_CAP (features turned off at detection). OpenSSL
# is held through OPENSSL_ia32cap, "~A:~B" clearing bits of its two 64-bit capability
# words: A holds CPUID leaf 1 EDX (low half) and ECX (high half), B leaf 7 EBX (low
# half) and ECX (high half). Bits of B used here:
#   leaf 7 EBX: 5 AVX2, 8 BMI2, 16 AVX512F, 17 AVX512DQ, 19 ADX, 21 AVX512IFMA,
#               26 AVX512PF, 27 AVX512ER, 28 AVX512CD, 29 SHA, 30 AVX512BW, 31 AVX512VL
#   leaf 7 ECX: 1 AVX512VBMI, 6 AVX512VBMI2, 11 AVX512VNNI, 12 AVX512BITALG,
#               14 AVX512VPOPCNTDQ
# An empty OPENSSL_ia32cap would clear every bit, so the unheld level unsets it.
set -euo pipefail

avx512_bits=0x5842dc230000   # every AVX-512 bit of both leaf 7 registers
avx2_bit=0x20
bmi2_adx_bits=0x80100
sha_bit=0x20000000

hex() { printf '0x%x' "$1"; }

# name | ONDREL_CPU_CAP | OPENSSL_ia32cap
levels_table() {
  echo "avx512||"
  echo "avx2|avx512,ifma|~0x0:~$(hex $((avx512_bits)))"
  echo "ssse3|avx2,avx512,ifma,bmi2adx|~0x0:~$(hex $((avx512_bits | avx2_bit | bmi2_adx_bits)))"
  # CPUs of the SSSE3 level have no BMI2 or ADX; this row shows what those alone are worth.
  echo "ssse3-bmi2adx|avx2,avx512,ifma|~0x0:~$(hex $((avx512_bits | avx2_bit)))"
  echo "nosha|sha|~0x0:~$(hex $((sha_bit)))"
  # CPUs of the SSSE3 level mostly have no SHA instructions either.
  echo "ssse3-nosha|avx2,avx512,ifma,bmi2adx,sha|~0x0:~$(hex $((avx512_bits | avx2_bit | bmi2_adx_bits | sha_bit)))"
}

build=build/release
wanted=""
binaries=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    -l) wanted="$2"; shift 2 ;;
    -b) build="$2"; shift 2 ;;
    --) shift; break ;;
    *) binaries+=("$1"); shift ;;
  esac
done
bench_args=("$@")

if [[ ${#binaries[@]} -eq 0 ]]; then
  for name in bench_crypto bench_curve bench_sha256; do
    [[ -x "$build/bench/$name" ]] && binaries+=("$build/bench/$name")
  done
fi
if [[ ${#binaries[@]} -eq 0 ]]; then
  echo "no benchmark binaries found under $build/bench" >&2
  exit 1
fi

while IFS='|' read -r name ours theirs; do
  if [[ -n "$wanted" && ",$wanted," != *",$name,"* ]]; then continue; fi
  echo "=== level $name: ONDREL_CPU_CAP='$ours' OPENSSL_ia32cap='${theirs:-(unset)}'"
  for bin in "${binaries[@]}"; do
    if [[ -n "$theirs" ]]; then
      ONDREL_CPU_CAP="$ours" OPENSSL_ia32cap="$theirs" "$bin" "${bench_args[@]}"
    else
      env -u ONDREL_CPU_CAP -u OPENSSL_ia32cap "$bin" "${bench_args[@]}"
    fi
  done
done < <(levels_table)
