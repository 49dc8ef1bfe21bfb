#!/usr/bin/env bash
# Calibration check on rendered camera units: white exposures of several units (bit depths,
# black levels, noise, cat's eyes) are calibrated and compared with their true grids; then a
# scene exposure of one unit is run (2 outer x 2 inner iterations) with its true grid, its
# estimated grid and the built-in grid, and each result is measured against the truth.
# Usage: scripts/calibration_check.sh [WORKDIR]   (default ./work/calibration; build first)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bin="$root/build"
work="${1:-$root/work/calibration}"
rm -rf "$work"
mkdir -p "$work"
cd "$work"

# name, then the grid: pitch_x pitch_y rotation origin_x origin_y, then plenosr-synth options.
units=(
  "built-in|14.28239569 12.37046396 0.0008988660784 1.084513694 11.77484499|--noise 2"
  "built-in-10bit|14.28239569 12.37046396 0.0008988660784 1.084513694 11.77484499|--bits 10 --black 64 --noise 2 --seed 9"
  "A-10bit|14.2886 12.3650 -0.0014 5.5 8.0|--bits 10 --black 64 --noise 2 --seed 3"
  "A-8bit-clean|14.2886 12.3650 -0.0014 5.5 8.0|--noise 0"
  "B-8bit-deep-cats-eye|14.2760 12.3760 0.0015 -3.0 15.5|--noise 3 --seed 4 --cats-eye 0.5"
  "C-16bit|14.2810 12.3712 0.0003 -5.3 13.8|--bits 16 --black 2048 --noise 1 --seed 5"
  "C-8bit-dark-corners|14.2810 12.3712 0.0003 -5.3 13.8|--noise 4 --seed 6 --corner-level 0.3"
  "B-touching-blurred|14.2760 12.3760 0.0015 -3.0 15.5|--aperture 1.0 --blur 1.5 --noise 2 --seed 8"
)
printf '%-24s %-28s %s\n' unit "white exposure" "calibration"
for u in "${units[@]}"; do
  IFS='|' read -r name grid opts <<<"$u"
  read -r px py rot ox oy <<<"$grid"
  printf '{"pitch_x": %s, "pitch_y": %s, "rotation": %s, "origin_x": %s, "origin_y": %s}\n' \
    "$px" "$py" "$rot" "$ox" "$oy" >"$name.json"
  # shellcheck disable=SC2086
  "$bin/plenosr-synth" --white --geometry "$name.json" $opts "white-$name" >/dev/null
  start=$(date +%s%N)
  result=$("$bin/plenosr-calibrate" "white-$name/raw/white.tiff" -o "est-$name.json" --truth "$name.json")
  ms=$(( ($(date +%s%N) - start) / 1000000 ))
  printf '%-24s %-28s %s; %s; %d.%03d s wall\n' "$name" "$opts" \
    "$(grep -o 'off the truth by .*' <<<"$result")" "$(grep -o 'micro-images used [0-9]*' <<<"$result")" \
    $((ms / 1000)) $((ms % 1000))
done

echo
echo "end to end: scene 'layers' as unit A takes it, --outer 2 --inner 2"
"$bin/plenosr-synth" --draft --geometry A-10bit.json scene >/dev/null
for run in true:A-10bit.json estimated:est-A-10bit.json built-in:; do
  name=${run%%:*} file=${run#*:}
  args=(--rgb scene/raw/watch1RGB_WB.tiff --raw scene/raw/watch1_WB.tiff -o "run-$name" --outer 2 --inner 2 --no-wait -q)
  [ -n "$file" ] && args+=(--geometry "$file")
  "$bin/plenosr" "${args[@]}" >/dev/null
  printf '%-10s grid: %s\n' "$name" "$("$bin/plenosr-eval" "run-$name" scene/gt 2>&1 | grep '^sr01')"
done
