#!/usr/bin/env bash
# Set-up, configure, build and run the whole test suite (what CI runs).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# Fault injection lets the suite simulate a full disk where no small file system can be mounted.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPLENOSR_FAULT_INJECTION=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
