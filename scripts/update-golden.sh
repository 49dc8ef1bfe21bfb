#!/usr/bin/env bash
# Rewrites the expected files of the golden runs (tests/golden/*/expected.*) and the sample's
# checksums from what the current build produces. Expected files change only on purpose:
# commit them with a message that says why they changed.
#   scripts/update-golden.sh [BUILD_DIR]      (default ./build, configured if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)
build=${1:-build}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target plenosr plenosr-synth
bin=$(cd "$build" && pwd)
golden="$here/tests/golden"
work="$bin/golden"
sample="$work/sample"

tests/golden/golden_case.sh sample "$bin" "$sample" "$work"
(cd "$sample" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs -d '\n' sha256sum) >"$golden/sample.sha256"
for case_dir in "$golden"/*/; do
  case_dir=${case_dir%/}
  name=$(basename "$case_dir")
  [ -f "$case_dir/command" ] || continue
  start=$(date +%s)
  tests/golden/golden_case.sh record "$bin" "$sample" "$case_dir" "$work/$name"
  cp "$work/$name/stdout" "$case_dir/expected.stdout"
  cp "$work/$name/written.sha256" "$case_dir/expected.sha256"
  echo "update-golden: $name: $(wc -l <"$case_dir/expected.sha256") files, $(( $(date +%s) - start )) s"
done
git status --short -- tests/golden
