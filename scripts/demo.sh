#!/usr/bin/env bash
# One-command demonstration on a fresh Debian machine: installs the dependencies, builds,
# renders the built-in sample (scene "layers") into ./work/demo, runs plenosr there with its
# defaults (and once more up to the first depth map) and prints the quality of every result
# against the sample's ground truth.
# Usage: scripts/demo.sh [extra plenosr-synth options, e.g. --scene fine --noise 2]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
work="$root/work/demo"
step() { printf '\n== %s [%s]\n' "$1" "$(date +%T)"; }

step "dependencies"
scripts/setup.sh

step "build (Release)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target plenosr plenosr-synth plenosr-eval

step "sample exposure and ground truth -> $work"
rm -rf "$work"
mkdir -p "$work"
build/plenosr-synth "$work" "$@"

step "plenosr (defaults) in $work"
start=$(date +%s)
(cd "$work" && "$root/build/plenosr" --no-wait)
echo "plenosr took $(( $(date +%s) - start )) s of wall time"
# A joint run rewrites its first depth map at every re-estimation; a run that stops after it
# (--outer 0, the same inputs and depth options) keeps it for the report's "initial" row.
(cd "$work" && "$root/build/plenosr" --no-wait --quiet --outer 0 --float-depth -o result-initial)

step "quality report"
build/plenosr-eval "$work/result" "$work/gt" --initial "$work/result-initial"
echo
echo "plots: $work/result/report/{psnr,energy,depth,crops}.png"
