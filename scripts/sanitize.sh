#!/usr/bin/env bash
# Builds with AddressSanitizer and UndefinedBehaviorSanitizer and runs the test suite on it,
# which includes a short full-size run of the program (FullSize.ShortRunCompletes). The other
# complete full-size runs (thread-count comparison, quiet run, disk filling up mid-run) are
# left to the normal build to keep this to a few minutes, as are the golden runs and the
# pinned quality run.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLENOSR_SANITIZE=ON \
  -DPLENOSR_BENCH=OFF -DPLENOSR_FAULT_INJECTION=ON >/dev/null
cmake --build build-sanitize -j"$(nproc)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:exitcode=99"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir build-sanitize --output-on-failure -j"$(nproc)" -E '^(Threads\.|DiskFull\.|FullSize\.Quiet|golden|quality)'
