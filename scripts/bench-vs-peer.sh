#!/usr/bin/env bash
# bench-vs-peer.sh: what an active snapshot costs a writer, here and on a peer system.
#
# This project: vek-machine serves a disk image, its sda1 is written through the machine's
# device file, with and without a qel-agent snapshot session of sda1. The peer: QEMU's
# copy-before-write (cbw) filter over a raw source file with a raw target file, and the same
# raw file without the filter. The writer is the same on both, `qemu-img bench` (queue depth
# 1, O_DIRECT), so only what sits below it differs. Workloads:
#   first4k   one 4 KiB write to each 64 KiB chunk of the device (the chunk's first write
#             under the snapshot: its old data is copied first)
#   rewrite4k the same writes again in the same snapshot (nothing left to copy)
#   seq1m     1 MiB sequential writes over the whole device, on a fresh snapshot
# The slowdown is time with a snapshot / time without (for seq1m: MiB/s without / with).
# Rounds interleave the two systems, so a noisy spell of the machine hits both.
#
# Knobs (environment):
#   ROUNDS=5        rounds (at least 3)
#   SIZE_MIB=1024   device size (sda1 and QEMU's source file)
#   QUICK=1         3 rounds of 256 MiB
#   OUT=FILE        TSV of every figure: round, system, workload, value (default:
#                   WORKDIR/bench-vs-peer-DATE.tsv; the path is printed)
#   VEK_BUILD=DIR   build directory with machine/vek-machine and agent/qel-agent (default:
#                   build/, built with scripts/build.sh when missing)
#   WORKDIR=DIR     where the temporary directory goes (default /tmp, or /var/tmp when /tmp
#                   is a tmpfs: the images should live on a real disk)
#   TUNED=...       GLIBC_TUNABLES of the "malloc tuned" QEMU runs (default below)
#   QEMU_CACHE=writeback  qemu-img's -t for QEMU's files; vek-machine's image takes the page
#                   cache the same way (none or directsync: both O_DIRECT; otherwise both
#                   through the host's page cache)
# Needs root (drop_caches, FUSE) and /dev/fuse. A bench, not a test: CI does not run it.
set -euo pipefail
# Relative OUT, VEK_BUILD and WORKDIR are the caller's, not the repository's.
here=$PWD
abs() { case $1 in /*) printf '%s\n' "$1" ;; *) printf '%s\n' "$here/$1" ;; esac; }
[ -n "${OUT:-}" ] && OUT=$(abs "$OUT")
[ -n "${VEK_BUILD:-}" ] && VEK_BUILD=$(abs "$VEK_BUILD")
[ -n "${WORKDIR:-}" ] && WORKDIR=$(abs "$WORKDIR")
cd "$(dirname "$0")/.."
repo=$PWD

say() { printf '%s\n' "$*"; }
note() { printf 'bench-vs-peer: %s\n' "$*" >&2; }

if [ "$(id -u)" != 0 ]; then
  say "bench-vs-peer: needs root (it drops the page cache and mounts FUSE); nothing run"
  exit 0
fi
if [ ! -c /dev/fuse ] || ! command -v fusermount3 >/dev/null; then
  say "bench-vs-peer: needs /dev/fuse and fusermount3 (vek-machine serves its devices through FUSE); nothing run"
  exit 0
fi

if [ -n "${QUICK:-}" ] && [ "${QUICK}" != 0 ]; then
  ROUNDS=${ROUNDS:-3}
  SIZE_MIB=${SIZE_MIB:-256}
fi
ROUNDS=${ROUNDS:-5}
SIZE_MIB=${SIZE_MIB:-1024}
QEMU_CACHE=${QEMU_CACHE:-writeback}
# vek-machine's image takes the page cache as QEMU's files do: past it (O_DIRECT) for the
# modes that open them so, through it otherwise.
case $QEMU_CACHE in none | directsync) VEK_CACHE=none ;; *) VEK_CACHE=writeback ;; esac
# QEMU's cbw copies through a bounce buffer it allocates per request: 64 KiB for a 4 KiB
# write's chunk, 1 MiB for a 1 MiB write. glibc serves the 1 MiB ones with mmap and gives
# them back with munmap (about one munmap per request, measured with strace here), so every
# request also faults in and zeroes 256 fresh pages. A fixed mmap threshold above 1 MiB keeps
# them on the heap, and a high trim threshold keeps the heap from being given back at every
# free; either alone did little here. The 64 KiB buffers are below glibc's default 128 KiB
# threshold, so the 4 KiB workloads should not change.
TUNED=${TUNED:-glibc.malloc.mmap_threshold=4194304:glibc.malloc.trim_threshold=268435456}
case $ROUNDS in '' | *[!0-9]*) say "bench-vs-peer: ROUNDS must be a number"; exit 2 ;; esac
case $SIZE_MIB in '' | *[!0-9]*) say "bench-vs-peer: SIZE_MIB must be a number of MiB"; exit 2 ;; esac
[ "$ROUNDS" -ge 3 ] || { say "bench-vs-peer: ROUNDS must be at least 3 (a median and a range)"; exit 2; }
[ "$SIZE_MIB" -ge 16 ] || { say "bench-vs-peer: SIZE_MIB must be at least 16"; exit 2; }

if ! command -v qemu-img >/dev/null; then
  note "qemu-img is missing: installing qemu-utils"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y qemu-utils >/dev/null || { apt-get update >/dev/null && apt-get install -y qemu-utils >/dev/null; }
fi
formats=$(qemu-img --help)
if ! grep -qw copy-before-write <<<"$formats"; then
  say "bench-vs-peer: this qemu-img has no copy-before-write driver (QEMU 6.2 or later has it)"
  exit 1
fi

if [ -n "${VEK_BUILD:-}" ]; then
  B=$(cd "$VEK_BUILD" && pwd)
else
  B=$repo/build
  if [ ! -x "$B/machine/vek-machine" ] || [ ! -x "$B/agent/qel-agent" ]; then
    note "building into $B (scripts/setup.sh installs what the build needs)"
    ./scripts/build.sh build >/dev/null
  fi
fi
machine_bin=$B/machine/vek-machine agent_bin=$B/agent/qel-agent
for b in "$machine_bin" "$agent_bin"; do
  [ -x "$b" ] || { say "bench-vs-peer: no $b (vek-machine is built only when libfuse3 is installed)"; exit 1; }
done

if [ -z "${WORKDIR:-}" ]; then
  WORKDIR=/tmp
  [ "$(findmnt -no FSTYPE -T /tmp)" = tmpfs ] && WORKDIR=/var/tmp
fi
work=$(mktemp -d "$WORKDIR/vek-bench-peer-XXXXXX")
dev=$work/dev bdir=$work/backing
# The disk image, a session's backing files, QEMU's source and its target: up to four times
# the device at once.
avail_mib=$(( $(df -Pk "$work" | awk 'NR == 2 { print $4 }') / 1024 ))
if [ "$avail_mib" -lt $((4 * SIZE_MIB + 256)) ]; then
  rmdir "$work"
  say "bench-vs-peer: $WORKDIR has $avail_mib MiB free; $((4 * SIZE_MIB + 256)) MiB are needed (SIZE_MIB, WORKDIR)"
  exit 1
fi
OUT=${OUT:-$WORKDIR/bench-vs-peer-$(date +%Y%m%d-%H%M%S).tsv}
machine_pid= agent_pid=

# Stops whatever is running, in the order the machine needs (the session's agent first: its
# stop goes through the machine), unmounts, and removes the files. Never removes the
# directory while the FUSE mount is still on it.
cleanup() {
  set +e
  stop_session quiet
  if [ -n "$machine_pid" ]; then
    kill "$machine_pid" 2>/dev/null
    for _ in $(seq 150); do kill -0 "$machine_pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$machine_pid" 2>/dev/null
    wait "$machine_pid" 2>/dev/null
    machine_pid=
  fi
  if [ -n "$agent_pid" ]; then
    # A killed agent ends once the machine's stop has let its workers out; a bounded wait,
    # never a blind one.
    for _ in $(seq 100); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$agent_pid" 2>/dev/null; then
      note "qel-agent $agent_pid is still running (parked in a request)"
    else
      wait "$agent_pid" 2>/dev/null
    fi
    agent_pid=
  fi
  if mountpoint -q "$dev"; then fusermount3 -u "$dev" 2>/dev/null || umount -l "$dev"; fi
  if mountpoint -q "$dev"; then
    note "$dev is still mounted: $work is left in place"
    return
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# The page cache starts empty for every measured step, on both systems: what a step reads
# comes from the disk, and no dirty pages of an earlier step are written back during it.
drop_caches() { sync; echo 3 > /proc/sys/vm/drop_caches; }

# qemu-img bench ARGS...: prints the run's seconds as qemu-img reports them (its own clock
# around the requests, without its start and the image's open).
bench() {
  local out
  if ! out=$(qemu-img bench "$@" 2>&1); then
    note "qemu-img bench $* failed:"; printf '%s\n' "$out" >&2; exit 1
  fi
  out=$(printf '%s\n' "$out" | sed -n 's/^Run completed in \([0-9.]*\) seconds\.$/\1/p')
  [ -n "$out" ] || { note "no time in the output of qemu-img bench $*"; exit 1; }
  printf '%s\n' "$out"
}

size=$((SIZE_MIB << 20))
chunks=$((size / 65536))
# The same writer for every target; only the file and its driver differ. A non-zero pattern,
# so no layer can take a write for a zeroing.
w4k=(-w -c "$chunks" -s 4096 -S 65536 -d 1 --pattern=0xa5)
# QEMU's rewrite is the difference of two runs (below); three rewrite passes make the
# first-write run's own noise a third as large per rewrite.
passes=3
w4k_again=(-w -c "$(((1 + passes) * chunks))" -s 4096 -S 65536 -d 1 --pattern=0xa5)
w1m=(-w -c "$SIZE_MIB" -s 1048576 -d 1 --pattern=0xc3)
record() { printf '%s\t%s\t%s\t%s\n' "$@" >> "$OUT"; }
us_per_op() { awk -v s="$1" -v n="$2" 'BEGIN { printf "%.2f", s * 1e6 / n }'; }
mib_per_s() { awk -v s="$1" -v m="$SIZE_MIB" 'BEGIN { printf "%.1f", m / s }'; }

# ---- this project ----
start_machine() {
  mkdir -p "$dev" "$bdir" "$work/state"
  chmod 700 "$work/state"
  # One partition of exactly SIZE_MIB after the partition table's first MiB. The machine
  # mounts its own file system on sda1 (as on a live system; the snapshot freezes it); the
  # writes still go to the device file.
  "$machine_bin" --disk "$work/disk.img" --disk-size "$((SIZE_MIB + 1))M" --partitions 1 \
    --image-cache "$VEK_CACHE" --dev "$dev" --log "$work/machine.log" >"$work/machine.out" 2>&1 &
  machine_pid=$!
  for _ in $(seq 200); do
    [ -e "$dev/vekdriver" ] && break
    kill -0 "$machine_pid" 2>/dev/null || break
    sleep 0.05
  done
  if [ ! -e "$dev/vekdriver" ]; then
    note "vek-machine did not start:"; cat "$work/machine.out" "$work/machine.log" >&2 2>/dev/null; exit 1
  fi
  local got
  got=$(stat -c %s "$dev/sda1")
  [ "$got" = "$size" ] || { note "sda1 has $got bytes, not $size"; exit 1; }
}

session_id=
# A session of sda1 held by a qel-agent of its own until stop_session. --state points at an
# empty directory of ours, so the command never goes to an agent service someone else runs.
start_session() {
  : > "$work/agent.out"
  "$agent_bin" --dev "$dev" --state "$work/state" --no-progress --workers 4 --backing-dir "$bdir" \
    snapshot sda1 --wait >"$work/agent.out" 2>&1 &
  agent_pid=$!
  session_id=
  for _ in $(seq 600); do
    session_id=$(sed -n 's/^vek\([0-9]*\): snapshot of.*/\1/p' "$work/agent.out" | head -1)
    [ -n "$session_id" ] && break
    kill -0 "$agent_pid" 2>/dev/null || break
    sleep 0.05
  done
  if [ -z "$session_id" ] || [ ! -e "$dev/vek$session_id" ]; then
    note "qel-agent did not hold a session of sda1:"; cat "$work/agent.out" >&2; exit 1
  fi
}

# The holding agent stops its session on SIGTERM and exits. One that does not is killed and
# left to the cleanup: its workers stay parked in the machine until the machine stops.
stop_session() {
  [ -n "$agent_pid" ] || return 0
  kill -TERM "$agent_pid" 2>/dev/null
  for _ in $(seq 300); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.05; done
  if kill -0 "$agent_pid" 2>/dev/null; then
    kill -9 "$agent_pid" 2>/dev/null
    [ "${1:-}" = quiet ] && return 0
    note "qel-agent $agent_pid did not stop its session in 15 s"
    exit 1
  fi
  wait "$agent_pid" 2>/dev/null
  agent_pid=
  if [ "${1:-}" != quiet ] && [ -n "$(ls -A "$bdir")" ]; then
    note "the session's backing files outlived it: $(ls "$bdir" | tr '\n' ' ')"; exit 1
  fi
}

vek_round() {
  local r=$1 t none first rewrite seq_none seq_snap
  local devfile=(-f raw -t none "$dev/sda1")
  drop_caches; t=$(bench "${w4k[@]}" "${devfile[@]}"); none=$(us_per_op "$t" "$chunks")
  start_session
  drop_caches; t=$(bench "${w4k[@]}" "${devfile[@]}"); first=$(us_per_op "$t" "$chunks")
  drop_caches; t=$(bench "${w4k[@]}" "${devfile[@]}"); rewrite=$(us_per_op "$t" "$chunks")
  stop_session
  drop_caches; t=$(bench "${w1m[@]}" "${devfile[@]}"); seq_none=$(mib_per_s "$t")
  start_session
  drop_caches; t=$(bench "${w1m[@]}" "${devfile[@]}"); seq_snap=$(mib_per_s "$t")
  stop_session
  record "$r" vek_none first4k_us "$none"
  record "$r" vek_none rewrite4k_us "$none"
  record "$r" vek_none seq1m_mibs "$seq_none"
  record "$r" vek_snap first4k_us "$first"
  record "$r" vek_snap rewrite4k_us "$rewrite"
  record "$r" vek_snap seq1m_mibs "$seq_snap"
}

# ---- QEMU ----
src=$work/src.img tgt=$work/tgt.img
cbw_opts="driver=copy-before-write,file.driver=file,file.filename=$src,target.driver=file,target.filename=$tgt"
# A fresh snapshot: a new sparse target of the source's size, as qemu-img create makes one;
# the filter's copy bitmap starts full in every qemu-img process.
fresh_target() { rm -f "$tgt"; qemu-img create -q -f raw "$tgt" "$size"; }

# One variant (plain or malloc tuned) of every QEMU workload. A rewrite needs the chunks
# copied by the same filter instance, and qemu-img bench reports one time per run: a run of
# (1 + passes) x chunks writes wraps round to the same offsets, everything after its first
# pass is rewrites, so rewrite = (T(that run) - T(chunks)) / (passes x chunks), T(chunks)
# being the first-write run.
# The raw file's rewrite figure is taken the same way: a second pass in the same process
# finds the file's extents cached, which the first pass after the cache drop does not.
qemu_variant() {
  local r=$1 sys=$2 tunables=$3 t t2 none none_re first rewrite seq_none seq_snap
  local c=$QEMU_CACHE
  drop_caches; t=$(GLIBC_TUNABLES=$tunables bench "${w4k[@]}" -f raw -t "$c" "$src"); none=$(us_per_op "$t" "$chunks")
  drop_caches; t2=$(GLIBC_TUNABLES=$tunables bench "${w4k_again[@]}" -f raw -t "$c" "$src")
  none_re=$(awk -v a="$t" -v b="$t2" -v n="$((passes * chunks))" 'BEGIN { printf "%.2f", (b - a) * 1e6 / n }')
  fresh_target
  drop_caches; t=$(GLIBC_TUNABLES=$tunables bench "${w4k[@]}" -t "$c" --image-opts "$cbw_opts")
  first=$(us_per_op "$t" "$chunks")
  fresh_target
  drop_caches; t2=$(GLIBC_TUNABLES=$tunables bench "${w4k_again[@]}" -t "$c" --image-opts "$cbw_opts")
  rewrite=$(awk -v a="$t" -v b="$t2" -v n="$((passes * chunks))" 'BEGIN { printf "%.2f", (b - a) * 1e6 / n }')
  drop_caches; t=$(GLIBC_TUNABLES=$tunables bench "${w1m[@]}" -f raw -t "$c" "$src"); seq_none=$(mib_per_s "$t")
  fresh_target
  drop_caches; t=$(GLIBC_TUNABLES=$tunables bench "${w1m[@]}" -t "$c" --image-opts "$cbw_opts")
  seq_snap=$(mib_per_s "$t")
  rm -f "$tgt"
  record "$r" "${sys}_none" first4k_us "$none"
  record "$r" "${sys}_none" rewrite4k_us "$none_re"
  record "$r" "${sys}_none" seq1m_mibs "$seq_none"
  record "$r" "$sys" first4k_us "$first"
  record "$r" "$sys" rewrite4k_us "$rewrite"
  record "$r" "$sys" seq1m_mibs "$seq_snap"
}

qemu_round() {
  # The tuned and the plain variant swap places each round, as the systems do.
  if [ $(($1 % 2)) = 1 ]; then
    qemu_variant "$1" qemu_cbw ""; qemu_variant "$1" qemu_tuned "$TUNED"
  else
    qemu_variant "$1" qemu_tuned "$TUNED"; qemu_variant "$1" qemu_cbw ""
  fi
}

# ---- the run ----
fs_line=$(findmnt -no FSTYPE,SOURCE,TARGET -T "$work" | awk '{ printf "%s on %s (mounted at %s)", $1, $2, $3 }')
say "bench-vs-peer: $ROUNDS rounds, device $SIZE_MIB MiB ($chunks chunks of 64 KiB), files in $work: $fs_line"
[ "$(findmnt -no FSTYPE -T "$work")" = tmpfs ] && note "the files are on a tmpfs: no disk is involved"
say "writer: $(qemu-img --version | head -1 | sed 's/ (.*//'), qemu-img bench at queue depth 1; QEMU's files with -t $QEMU_CACHE"
say "malloc tuned: GLIBC_TUNABLES=$TUNED"
printf 'round\tsystem\tworkload\tvalue\n' > "$OUT"

start_machine
qemu-img create -q -f raw "$src" "$size"
# Both sources hold real data, written the same way, so every copy moves data read from disk.
bench -w -c "$SIZE_MIB" -s 1048576 -d 1 --pattern=0x5a -f raw -t none "$dev/sda1" >/dev/null
bench -w -c "$SIZE_MIB" -s 1048576 -d 1 --pattern=0x5a -f raw -t none "$src" >/dev/null

started=$SECONDS
for r in $(seq "$ROUNDS"); do
  t0=$SECONDS
  if [ $((r % 2)) = 1 ]; then vek_round "$r"; qemu_round "$r"; else qemu_round "$r"; vek_round "$r"; fi
  note "round $r/$ROUNDS done in $((SECONDS - t0)) s"
done

# Per round, the slowdown pairs each system's run with a snapshot with its run without.
awk -F '\t' '
  NR == 1 { next }
  { v[$1, $2, $3] = $4; rounds[$1] = 1 }
  function sorted(a, n,   i, j, x) {
    for (i = 2; i <= n; i++) { x = a[i]; for (j = i - 1; j >= 1 && a[j] > x; j--) a[j + 1] = a[j]; a[j + 1] = x }
  }
  function stat(a, n, fmt,   m) {
    sorted(a, n)
    m = n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    return sprintf(fmt " [" fmt "-" fmt "]", m, a[1], a[n])
  }
  END {
    split("first4k_us rewrite4k_us seq1m_mibs", wl, " ")
    title["first4k_us"] = "4 KiB first write, one per 64 KiB chunk (us/op)"
    title["rewrite4k_us"] = "4 KiB rewrite of a copied chunk (us/op)"
    title["seq1m_mibs"] = "1 MiB sequential writes, fresh snapshot (MiB/s)"
    split("vek_none vek_snap qemu_cbw_none qemu_cbw qemu_tuned_none qemu_tuned", sy, " ")
    name["vek_none"] = "vekdriver, no session"; name["vek_snap"] = "vekdriver, snapshot"
    name["qemu_cbw_none"] = "QEMU raw, no filter"; name["qemu_cbw"] = "QEMU cbw"
    name["qemu_tuned_none"] = "QEMU raw, malloc tuned"; name["qemu_tuned"] = "QEMU cbw, malloc tuned"
    base["vek_snap"] = "vek_none"; base["qemu_cbw"] = "qemu_cbw_none"; base["qemu_tuned"] = "qemu_tuned_none"
    printf "%-24s %-28s %s\n", "", "median [min-max]", "slowdown: median [min-max]"
    for (w = 1; w <= 3; w++) {
      printf "\n%s\n", title[wl[w]]
      for (s = 1; s <= 6; s++) {
        n = 0; k = 0
        for (r in rounds) {
          a[++n] = v[r, sy[s], wl[w]]
          if (sy[s] in base) {
            x = v[r, sy[s], wl[w]]; y = v[r, base[sy[s]], wl[w]]
            q[++k] = wl[w] ~ /mibs/ ? y / x : x / y
          }
        }
        line = stat(a, n, "%.1f")
        printf "  %-22s %-28s %s\n", name[sy[s]], line, k ? stat(q, k, "%.2fx") : ""
        delete a; delete q
      }
    }
  }' "$OUT"
say ""
say "slowdown = time with a snapshot / time without, paired per round (seq1m: MiB/s without / with)."
say "vekdriver's rewrite row without a session is the run of its first-write row."
say "QEMU's rewrite rows are (T(a run of $((1 + passes)) x chunks) - T(a run of chunks)) / ($passes x chunks): two runs, so noisier."
say "vek-machine's disk image: --image-cache $VEK_CACHE; its backing files with O_DIRECT (qel-agent --backing-io direct); QEMU -t $QEMU_CACHE."
say "figures (round, system, workload, value): $OUT; took $((SECONDS - started)) s"
