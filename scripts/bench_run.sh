#!/usr/bin/env bash
# Whole-run benchmark: times shortened runs of the fast and the reference path side by side
# on the synthetic sample and extrapolates to the default run (15 outer x 3 inner, joint).
#   scripts/bench_run.sh [BUILD_DIR] [WORK_DIR]      (set SKIP_REFERENCE=1 to time only the fast path)
# Per path it runs --outer 0 (views, bicubic, one depth estimation), --outer 1 --inner 1 and
# --outer 1 --inner 2; the differences give one inner step and the rest of an outer iteration.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
mkdir -p "${2:-$here/work/bench}"
work=$(cd "${2:-$here/work/bench}" && pwd)
if [ ! -f "$work/raw/watch1_WB.tiff" ]; then
  echo "bench: generating the synthetic sample in $work" >&2
  "$build/plenosr-synth" "$work" >/dev/null
fi

# Wall seconds and peak resident memory (KiB) of one run.
timed() {
  local out=$work/time.txt
  (cd "$work" && /usr/bin/time -f "%e %M" -o "$out" "$build/plenosr" --no-wait --quiet "$@" \
    >/dev/null 2>"$work/stderr.txt") || { cat "$work/stderr.txt" >&2; return 1; }
  cat "$out"
}

measure() {  # path-name extra-args...
  local name=$1; shift
  local r0 r1 r2
  r0=$(timed --outer 0 "$@") && r1=$(timed --outer 1 --inner 1 "$@") && r2=$(timed --outer 1 --inner 2 "$@") || exit 1
  read -r t0 m0 <<<"$r0"
  read -r t1 m1 <<<"$r1"
  read -r t2 m2 <<<"$r2"
  python3 - "$name" "$t0" "$t1" "$t2" "$m0" "$m1" "$m2" <<'PY'
import sys
name, t0, t1, t2, m0, m1, m2 = sys.argv[1], *map(float, sys.argv[2:])
step = t2 - t1                 # one inner step (error, gradient, second-order term)
outer_rest = t1 - t0 - step    # depth re-estimation, split update and writes
full = t0 + 15 * (outer_rest + 3 * step)
print(f"{name}\t{t0:.2f}\t{step:.2f}\t{outer_rest:.2f}\t{full:.1f}\t{max(m0, m1, m2) / 1048576:.2f}")
PY
}

echo -e "path\tstart+depth(s)\tinner step(s)\touter rest(s)\tfull run est.(s)\tpeak(GiB)"
fast=$(measure fast)
echo "$fast"
if [ "${SKIP_REFERENCE:-0}" != 1 ]; then
  ref=$(measure reference --reference)
  echo "$ref"
  python3 - "$fast" "$ref" <<'PY'
import sys
f = sys.argv[1].split("\t"); r = sys.argv[2].split("\t")
print(f"ratio (reference / fast), full run: {float(r[4]) / float(f[4]):.1f}x")
PY
fi
