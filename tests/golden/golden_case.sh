#!/usr/bin/env bash
# Runs one golden case and compares it with its expected files, or records what it produced.
#   golden_case.sh sample BIN_DIR SAMPLE_DIR GOLDEN_DIR          render the shared sample
#   golden_case.sh record BIN_DIR SAMPLE_DIR CASE_DIR WORK_DIR   run and record what it wrote
#   golden_case.sh check  BIN_DIR SAMPLE_DIR CASE_DIR WORK_DIR   run, record, then compare
# A case directory holds `command` (one line, the program's name first and `-o result`, run
# in a directory whose raw/ is the sample's), `expected.stdout` (standard output without the
# duration line) and `expected.sha256` (every file below the output root, as `sha256sum`
# lists them).
# The run leaves WORK_DIR/result, WORK_DIR/stdout and WORK_DIR/written.sha256 behind, which
# scripts/update-golden.sh copies into the case directory.
set -euo pipefail
mode=$1 bin=$(realpath -m "$2") sample=$(realpath -m "$3")

if [ "$mode" = sample ]; then
  # One rendering per test run; its inputs must be the ones the expected files were made from.
  golden=$(realpath -m "$4")
  rm -rf "$sample"
  "$bin/plenosr-synth" --draft "$sample" >/dev/null
  if [ -f "$golden/sample.sha256" ]; then
    (cd "$sample" && sha256sum --quiet -c "$golden/sample.sha256") ||
      { echo "golden: the rendered sample differs from the one the expected files were made from" >&2; exit 1; }
  fi
  exit 0
fi

case_dir=$(realpath -m "$4") work=$(realpath -m "$5")
[ -f "$sample/raw/watch1_WB.tiff" ] || { echo "golden: no sample in $sample" >&2; exit 1; }
read -r program args <"$case_dir/command"
[ "$program" = plenosr ] || { echo "golden: $case_dir/command must start with plenosr" >&2; exit 1; }
# Every run starts from an empty output root: the log is appended to.
rm -rf "$work"
mkdir -p "$work"
ln -s "$sample/raw" "$work/raw"
status=0
# shellcheck disable=SC2086  # the command line is split into its words on purpose
(cd "$work" && "$bin/plenosr" $args </dev/null >stdout.full 2>stderr) || status=$?
if [ "$status" -ne 0 ]; then
  echo "golden: $(basename "$case_dir"): exit status $status" >&2
  cat "$work/stderr" >&2
  exit 1
fi
grep -v '^duration = .*sec\.$' "$work/stdout.full" >"$work/stdout" || true
(cd "$work/result" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs -r -d '\n' sha256sum) \
  >"$work/written.sha256"

[ "$mode" = record ] && exit 0
[ "$mode" = check ] || { echo "golden: unknown mode $mode" >&2; exit 2; }
[ -f "$case_dir/expected.sha256" ] || { echo "golden: no expected files in $case_dir" >&2; exit 1; }
failed=0
if ! diff -u "$case_dir/expected.stdout" "$work/stdout"; then
  echo "golden: standard output differs" >&2
  failed=1
fi
# Listed files missing or different, then files the list does not name.
(cd "$work/result" && sha256sum --quiet -c "$case_dir/expected.sha256") || failed=1
unlisted=$(comm -13 <(cut -c67- "$case_dir/expected.sha256" | LC_ALL=C sort) \
                    <(cut -c67- "$work/written.sha256" | LC_ALL=C sort))
if [ -n "$unlisted" ]; then
  echo "golden: files not in expected.sha256:" >&2
  echo "$unlisted" >&2
  failed=1
fi
[ "$failed" -eq 0 ] && echo "golden: $(basename "$case_dir"): $(wc -l <"$case_dir/expected.sha256") files and stdout as expected"
exit "$failed"
