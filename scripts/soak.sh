#!/usr/bin/env bash
# A bounded soak: for MINUTES (default 10), two machines at a time, each on a disk of its own,
# run qel-agent demo with seeded random settings (disk size, workers, staging buffer, record
# format, writer pace, and a disk that serves its bios in order or reorders them, with its own
# seed, depth and latency): a writer on a mounted partition, a full and an incremental backup
# through snapshot starts and stops, each image checked bit for bit against the partition at
# its own snapshot instant, the live partition against the whole write log. It stops by itself,
# prints its figures, and exits 1 when any run failed (its seed and log are kept).
#   scripts/soak.sh [MINUTES] [SEED]      (build dir: $VEK_BUILD, default build)
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
seed=${2:-$(date +%s)}
build=${VEK_BUILD:-build}
agent="$build/agent/qel-agent"
if [[ ! -x $agent ]]; then
  ./scripts/build.sh "$build"
fi
work=$(mktemp -d /tmp/vek-soak-XXXXXX)
trap 'rm -rf "$work"' EXIT
echo "soak: $minutes min, seed $seed, two machines at a time (repeat with: scripts/soak.sh $minutes $seed)"

RANDOM=$((seed % 32768))
end=$((SECONDS + minutes * 60))
runs=0 failed=0 backups=0 reordered=0
declare -a failures=()
sizes=(48M 64M 96M 128M)
buffers=(64K 256K 1M 2M)
one() {  # slot run-seed: one demo, its log kept under $work on failure
  local log="$work/run.$1.log" s=$2
  local size=${sizes[$((s % 4))]} workers=$((1 + s % 8)) buffer=${buffers[$(((s / 8) % 4))]}
  local format=$((1 + (s / 32) % 2)) pause=$((500 + (s / 64) % 2000))
  # Every other run's disk reorders: its own seed, a queue depth and a mean latency (us).
  local reorder=() depths=(4 32 64) latencies=(0 200 1000)
  if (((s / 131072) % 2)); then
    reorder=(--disk-reorder "$((s / 2 + 1)):${depths[$(((s / 4096) % 3))]}:${latencies[$(((s / 16384) % 3))]}")
  fi
  if "$agent" "${reorder[@]}" demo --seed "$s" --size "$size" --workers "$workers" --buffer "$buffer" \
      --format "$format" --pause-us "$pause" --settle-ms 200 >"$log" 2>&1; then
    echo "ok ${#reorder[@]}" >"$log.rc"
  else
    echo "failed: qel-agent ${reorder[*]} demo --seed $s --size $size --workers $workers --buffer $buffer --format $format --pause-us $pause" >"$log.rc"
  fi
}
while ((SECONDS < end)); do
  a=$((RANDOM * 32768 + RANDOM + 1)) b=$((RANDOM * 32768 + RANDOM + 1))
  one 0 "$a" &
  one 1 "$b" &
  wait
  for slot in 0 1; do
    runs=$((runs + 1))
    rc=$(cat "$work/run.$slot.log.rc")
    if [[ $rc == ok* ]]; then
      backups=$((backups + 2))
      if [[ $rc != "ok 0" ]]; then reordered=$((reordered + 2)); fi
    else
      failed=$((failed + 1))
      failures+=("$rc")
      cp "$work/run.$slot.log" "/tmp/vek-soak-failure.$runs.log"
    fi
  done
done
echo "soak: $((SECONDS / 60)) min $((SECONDS % 60)) s, $runs demo runs, $backups backups verified against their snapshot instants ($((backups - reordered)) on in-order disks, $reordered on reordering disks), $failed failed"
for f in "${failures[@]}"; do echo "  $f (log in /tmp/vek-soak-failure.*.log)"; done
((failed == 0))
