#!/usr/bin/env bash
# One task of a Slurm job array over a batch manifest: task N runs exposure N (1 = the first
# line after the header) with plenosr-batch --only N, using the task's CPUs as threads. What
# finished before is skipped, so resubmitting the whole array redoes only the rest.
#
#   sbatch --array=1-N%K scripts/slurm/plenosr-array.sh MANIFEST ROOT [plenosr options...]
#   plenosr-batch MANIFEST -o ROOT --collect      # afterwards: ROOT/batch-summary.csv
#
# plenosr-batch is taken from $PLENOSR_BATCH if set, else from PATH (sbatch passes the
# submitting shell's environment on by default). Ask for memory to match the exposures:
# a full default run peaks at about 3.1 GiB.
#SBATCH --job-name=plenosr
#SBATCH --cpus-per-task=2
#SBATCH --mem=4G
#SBATCH --output=plenosr-%A_%a.out
set -euo pipefail

if [[ $# -lt 2 || -z "${SLURM_ARRAY_TASK_ID:-}" ]]; then
  echo "usage: sbatch --array=1-N[%K] $0 MANIFEST ROOT [plenosr options...]" >&2
  exit 2
fi
manifest=$1
root=$2
shift 2
exec "${PLENOSR_BATCH:-plenosr-batch}" "$manifest" -o "$root" --only "$SLURM_ARRAY_TASK_ID" \
  --threads "${SLURM_CPUS_PER_TASK:-1}" "$@"
