#!/usr/bin/env bash
# Whole-run benchmark: times shortened runs of the fast and the reference path side by side
# on the synthetic sample and extrapolates to the default run (15 outer x 3 inner, joint).
#   scripts/bench_run.sh [BUILD_DIR] [WORK_DIR]
# Set SKIP_REFERENCE=1 to time only the fast path, FULL=0 to skip timing the fast path's
# whole default run (about two minutes).
# Per path it runs --outer 0 (views, bicubic, one depth estimation), --outer 1 --inner 1 and
# --outer 1 --inner 2; the differences give one inner step and the rest of an outer iteration.
# The fast path also runs --outer 2 --inner 1: its later outer iterations reuse buffers the
# first one allocates, so the estimate takes the rest of the second one for the last 14.
# The machine's speed wanders, so each fast run is timed twice and the faster kept. The
# per-stage times (PLENOSR_TIMINGS) of the last run close the report.
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
  rm -rf "$work/result"
  (cd "$work" && /usr/bin/time -f "%e %M" -o "$out" "$build/plenosr" --no-wait --quiet "$@" \
    >/dev/null 2>"$work/stderr.txt") || { cat "$work/stderr.txt" >&2; return 1; }
  cat "$out"
}

# The faster of two runs (and the larger peak).
timed2() {
  local a b
  a=$(timed "$@") && b=$(timed "$@") || return 1
  python3 -c "import sys; a, b = sys.argv[1].split(), sys.argv[2].split(); print(min(float(a[0]), float(b[0])), max(int(a[1]), int(b[1])))" "$a" "$b"
}

measure() {  # path-name extra-args...
  local name=$1; shift
  local r0 r1 r2 r3="0 0" run=timed
  [ "$name" = fast ] && run=timed2
  r0=$($run --outer 0 "$@") && r1=$($run --outer 1 --inner 1 "$@") &&
    r2=$($run --outer 1 --inner 2 "$@") || exit 1
  if [ "$name" = fast ]; then
    r3=$(PLENOSR_TIMINGS=1 timed2 --outer 2 --inner 1 "$@") || exit 1
    grep '^timing' "$work/stderr.txt" | cut -f2- >"$work/stages.txt"
  fi
  python3 - "$name" $r0 $r1 $r2 $r3 <<'PY'
import sys
name = sys.argv[1]
t0, m0, t1, m1, t2, m2, t3, m3 = map(float, sys.argv[2:])
step = t2 - t1                 # one inner step (error, gradient, second-order term)
outer_rest = t1 - t0 - step    # depth re-estimation, split update and writes
later_rest = t3 - t1 - step if t3 > 0 else outer_rest
full = t0 + outer_rest + 14 * later_rest + 45 * step
print(f"{name}\t{t0:.2f}\t{step:.2f}\t{outer_rest:.2f}\t{later_rest:.2f}\t{full:.1f}\t"
      f"{max(m0, m1, m2, m3) / 1048576:.2f}")
PY
}

echo -e "path\tstart+depth(s)\tinner step(s)\tfirst outer rest(s)\tlater outer rest(s)\tfull run est.(s)\tpeak(GiB)"
fast=$(measure fast)
echo "$fast"
full_wall=""
if [ "${FULL:-1}" = 1 ]; then
  read -r t m <<<"$(timed)"
  full_wall=$t
  python3 -c "import sys; print(f'fast\tdefault run measured: {float(sys.argv[1]):.1f} s wall, peak {float(sys.argv[2]) / 1048576:.2f} GiB')" "$t" "$m"
fi
if [ "${SKIP_REFERENCE:-0}" != 1 ]; then
  ref=$(measure reference --reference)
  echo "$ref"
  python3 - "$fast" "$ref" "$full_wall" <<'PY'
import sys
f = sys.argv[1].split("\t"); r = sys.argv[2].split("\t")
print(f"ratio (reference / fast), full run estimates: {float(r[5]) / float(f[5]):.1f}x")
if sys.argv[3]:
    print(f"ratio (reference estimate / fast measured), full run: {float(r[5]) / float(sys.argv[3]):.1f}x")
PY
fi
echo
echo "stages of the fast path, --outer 2 --inner 1:"
cat "$work/stages.txt"
