#!/usr/bin/env bash
# Whole-run benchmark: times a shortened run (--outer 1 --inner 1) of the fast and of the
# reference path side by side on the synthetic sample and extrapolates each to the default
# run (15 outer x 3 inner, joint); then times the fast path's default run itself.
#   scripts/bench_run.sh [BUILD_DIR] [WORK_DIR]
# Set SKIP_REFERENCE=1 to time only the fast path, FULL=0 to skip the default run.
# The extrapolation takes the stage times the run reports (PLENOSR_TIMINGS): a default run
# is the shortened one plus 44 more inner steps (error, gradient, second-order term and
# step) and 14 more outer iterations (projection plan, depth re-estimation, split update and
# writes). Stage times are steadier than differences of whole runs on a machine whose speed
# wanders. The fast path's first plan is its slowest (fresh memory), so its estimate errs
# high.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
mkdir -p "${2:-$here/work/bench}"
work=$(cd "${2:-$here/work/bench}" && pwd)
if [ ! -f "$work/raw/watch1_WB.tiff" ]; then
  echo "bench: generating the synthetic sample in $work" >&2
  "$build/plenosr-synth" "$work" >/dev/null
fi

# Wall seconds and peak resident memory (KiB) of one run; its stage lines in stages-NAME.txt.
timed() {  # name args...
  local name=$1; shift
  rm -rf "$work/result"
  (cd "$work" && PLENOSR_TIMINGS=1 /usr/bin/time -f "%e %M" -o "$work/time.txt" \
    "$build/plenosr" --no-wait --quiet "$@" >/dev/null 2>"$work/stderr.txt") ||
    { cat "$work/stderr.txt" >&2; return 1; }
  grep '^timing' "$work/stderr.txt" | cut -f2- >"$work/stages-$name.txt"
  cat "$work/time.txt"
}

# path wall(s) inner-step(s) outer-rest(s) full-run-estimate(s) peak(GiB)
estimate() {  # name wall peak-KiB
  python3 - "$1" "$2" "$3" "$work/stages-$1.txt" <<'PY'
import sys
name, wall, peak, path = sys.argv[1], float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
total = {}
calls = {}
fastest = {}
for line in open(path).read().splitlines()[1:]:
    fields = line.split("\t")
    part, n, seconds = fields[:3]
    total[part] = float(seconds)
    calls[part] = int(n)
    fastest[part] = float(fields[5])
steady = name.endswith("steady")
if steady:
    # A run of two outer iterations: each stage's quickest call, which no longer pays for
    # fresh memory, stands for every call after the first; the run's wall time holds the
    # first iteration and one such.
    for part in total:
        total[part] = fastest[part]
        calls[part] = 1
get = lambda part: total.get(part, 0.0)
plan = get("projection plan")
step = get("raw error") + get("gradient (data term)") + get("gradient (regulariser)") \
    + get("second-order term and step")
# One of the run's two depth estimations is the first one, before the iterations.
depth = get("depth estimation") / max(calls.get("depth estimation", 1), 1)
# Each outer iteration writes the depth map twice: the estimation's file and its own copy.
write_depth = 2 * get("write depth") / max(calls.get("write depth", 1), 1)
outer = plan + depth + write_depth + get("write estimate") + get("split update")
full = wall + (43 if steady else 44) * step + (13 if steady else 14) * outer
print(f"{name}\t{wall:.2f}\t{step:.2f}\t{outer:.2f}\t{full:.1f}\t{peak / 1048576:.2f}")
PY
}

rm -f "$work"/stages-*.txt
echo -e "path\tshort run(s)\tinner step(s)\touter rest(s)\tfull run est.(s)\tpeak(GiB)"
read -r t m <<<"$(timed fast --outer 1 --inner 1)"
fast=$(estimate fast "$t" "$m")
echo "$fast"
# The shortened run's only step and plan pay the fast path's one-time costs (fresh memory)
# that a default run pays once: a second estimate from two outer iterations' quickest calls.
read -r t m <<<"$(timed fast-steady --outer 2 --inner 1)"
steady=$(estimate fast-steady "$t" "$m")
echo "$steady"
if [ "${SKIP_REFERENCE:-0}" != 1 ]; then
  read -r t m <<<"$(timed reference --reference --outer 1 --inner 1)"
  ref=$(estimate reference "$t" "$m")
  echo "$ref"
  python3 - "$fast" "$ref" <<'PY'
import sys
f = sys.argv[1].split("\t"); r = sys.argv[2].split("\t")
print(f"ratio (reference / fast), full run estimates: {float(r[4]) / float(f[4]):.1f}x")
PY
  python3 - "$steady" "$ref" <<'PY'
import sys
f = sys.argv[1].split("\t"); r = sys.argv[2].split("\t")
print(f"ratio (reference / fast-steady), full run estimates: {float(r[4]) / float(f[4]):.1f}x")
PY
fi
if [ "${FULL:-1}" = 1 ]; then
  read -r t m <<<"$(timed full)"
  python3 -c "import sys; print(f'fast default run, measured: {float(sys.argv[1]):.1f} s wall, peak {float(sys.argv[2]) / 1048576:.2f} GiB')" "$t" "$m"
fi
for name in fast fast-steady reference full; do
  [ -f "$work/stages-$name.txt" ] || continue
  echo
  echo "stages, $name:"
  cat "$work/stages-$name.txt"
done
