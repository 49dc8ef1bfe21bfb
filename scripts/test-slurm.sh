#!/usr/bin/env bash
# Runs a batch as a Slurm job array on a single-node cluster started here, and checks that
# every file equals a local run of plenosr on the same exposure. Needs root (installs the
# Debian packages if missing, runs the daemons as root) and a built tree (scripts/test.sh).
# Every daemon it starts is stopped again, also on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=${BUILD_DIR:-$repo/build}
for p in plenosr plenosr-batch plenosr-synth; do
  [[ -x "$build/$p" ]] || { echo "test-slurm: $build/$p missing; build first" >&2; exit 2; }
done
if ! command -v slurmctld >/dev/null || ! command -v slurmd >/dev/null || ! command -v munged >/dev/null ||
   ! command -v sbatch >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends slurmctld slurmd munge slurm-client
fi

tmp=$(mktemp -d /tmp/plenosr-slurm-XXXXXX)
pids=()
job=
cleanup() {
  local status=$?
  # A job still running would go on after its daemons: cancel it and let its tasks end first.
  if [[ -n $job ]]; then
    scancel "$job" 2>/dev/null || true
    for _ in $(seq 30); do [[ -z "$(squeue -h -j "$job" 2>/dev/null)" ]] && break; sleep 1; done
  fi
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  if [[ $status -ne 0 ]]; then
    echo "test-slurm: failed; daemon logs follow" >&2
    tail -n 20 "$tmp"/*.log "$tmp"/jobs/*.out >&2 2>/dev/null || true
  fi
  rm -rf "$tmp"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Authentication: a munge daemon of our own with a fresh key and its socket in $tmp.
mkdir -m 700 "$tmp/munge"
dd if=/dev/urandom of="$tmp/munge/key" bs=1024 count=1 status=none
chmod 400 "$tmp/munge/key"
socket=$tmp/munge/socket
munged --foreground --force --key-file="$tmp/munge/key" --socket="$socket" \
  --pid-file="$tmp/munge/pid" --log-file="$tmp/munged.log" --seed-file="$tmp/munge/seed" \
  >"$tmp/munged.out" 2>&1 &
pids+=($!)

port=${SLURM_TEST_PORT:-6917}
mkdir -p "$tmp/state" "$tmp/spool" "$tmp/jobs"
cat > "$tmp/slurm.conf" <<CONF
ClusterName=plenosrtest
SlurmctldHost=localhost
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$socket
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldLogFile=$tmp/slurmctld.log
SlurmdLogFile=$tmp/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
SwitchType=switch/none
ReturnToService=2
NodeName=localhost CPUs=2 RealMemory=1000 State=UNKNOWN
PartitionName=test Nodes=localhost Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$tmp/slurm.conf
for _ in $(seq 50); do [[ -S $socket ]] && break; sleep 0.1; done
slurmctld -D -i -f "$SLURM_CONF" >"$tmp/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -N localhost -f "$SLURM_CONF" >"$tmp/slurmd.out" 2>&1 &
pids+=($!)
for _ in $(seq 60); do
  sinfo -h -o '%T' 2>/dev/null | grep -qx idle && break
  sleep 1
done
sinfo -h -o '%T' | grep -qx idle || { echo "test-slurm: the node never became idle" >&2; exit 1; }

# Three short exposures of distinct scenes and seeds.
mkdir -p "$tmp/data"
printf 'name,rgb,raw\n' > "$tmp/data/manifest.csv"
for sample in "layers 1" "slant 2" "fine 3"; do
  set -- $sample
  "$build/plenosr-synth" "$tmp/data/$1" --draft --scene "$1" --seed "$2" >/dev/null
  printf '%s,%s/raw/watch1RGB_WB.tiff,%s/raw/watch1_WB.tiff\n' "$1" "$1" "$1" >> "$tmp/data/manifest.csv"
done
options=(--outer 1 --inner 1)
"$build/plenosr-batch" "$tmp/data/manifest.csv" -o "$tmp/cluster" --check "${options[@]}"

# The array: one task per line, at most two at once, one CPU each; memory as the node has it.
export PLENOSR_BATCH=$build/plenosr-batch
start=$(date +%s)
job=$(sbatch --parsable --array=1-3%2 --cpus-per-task=1 --mem=500M --output="$tmp/jobs/%A_%a.out" \
  scripts/slurm/plenosr-array.sh "$tmp/data/manifest.csv" "$tmp/cluster" "${options[@]}")
echo "test-slurm: submitted job array $job"
deadline=$((start + ${SLURM_TEST_TIMEOUT:-600}))
while [[ -n "$(squeue -h -j "$job" 2>/dev/null)" ]]; do
  (( $(date +%s) < deadline )) || { echo "test-slurm: job $job still running after the timeout" >&2; exit 1; }
  sleep 2
done
echo "test-slurm: job array done in $(( $(date +%s) - start )) s"
for f in "$tmp"/jobs/*.out; do echo "--- $(basename "$f")"; cat "$f"; done
"$build/plenosr-batch" "$tmp/data/manifest.csv" -o "$tmp/cluster" --collect
cat "$tmp/cluster/batch-summary.csv"

# Local runs of plenosr itself; every file must be equal, and nothing more or less.
status=0
for name in layers slant fine; do
  "$build/plenosr" --rgb "$tmp/data/$name/raw/watch1RGB_WB.tiff" --raw "$tmp/data/$name/raw/watch1_WB.tiff" \
    -o "$tmp/local/$name" "${options[@]}" --no-wait -q >/dev/null
  local_sums=$(cd "$tmp/local/$name" && find . -type f | sort | xargs sha256sum)
  cluster_sums=$(cd "$tmp/cluster/$name" && find . -type f | sort | xargs sha256sum)
  if [[ "$local_sums" == "$cluster_sums" ]]; then
    echo "test-slurm: $name: $(wc -l <<<"$local_sums") files equal to the local run"
  else
    echo "test-slurm: $name: differs from the local run:" >&2
    diff <(echo "$local_sums") <(echo "$cluster_sums") >&2 || true
    status=1
  fi
done
grep -q ',finished,0,' "$tmp/cluster/batch-summary.csv"
[[ $(grep -c ',finished,0,' "$tmp/cluster/batch-summary.csv") -eq 3 ]] || { echo "test-slurm: not every exposure finished" >&2; status=1; }
[[ $status -eq 0 ]] && echo "test-slurm: passed"
exit "$status"
