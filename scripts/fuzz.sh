#!/usr/bin/env bash
# Builds the input fuzz target with clang and libFuzzer and runs it for a bounded time
# (FUZZ_SECONDS, default 45) on a freshly generated seed corpus. Findings land in
# build-fuzz/findings/ and make the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-45}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLENOSR_FUZZ=ON \
  -DPLENOSR_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target plenosr_fuzz_load plenosr_fuzz_seeds
corpus=build-fuzz/corpus
findings=build-fuzz/findings
rm -rf "$corpus" "$findings"
mkdir -p "$corpus" "$findings"
build-fuzz/plenosr_fuzz_seeds "$corpus"
echo "fuzz: $(ls "$corpus" | wc -l) seeds, ${seconds}s"
# A finding stops the fuzzer with a non-zero status; the check below reports it.
build-fuzz/plenosr_fuzz_load "$corpus" -max_total_time="$seconds" -max_len=65536 \
  -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=10 -artifact_prefix="$findings/" \
  -print_final_stats=1 >build-fuzz/fuzz.log 2>&1 || true
tail -n 12 build-fuzz/fuzz.log
if [ -n "$(ls -A "$findings")" ]; then
  echo "fuzz: findings in $findings" >&2
  exit 1
fi
echo "fuzz: no findings"
