#!/usr/bin/env bash
# The live backup of a real file system: vek-machine serves a disk image, the host's own ext4
# lives on its first partition through a loop device, and while writers keep changing it
# qel-agent (a process of its own) takes a backup through the machine's files. The image is
# then checked: a clean file system, and every file that was stable before the snapshot
# exactly as it was. Needs root, /dev/fuse, loop devices,
# mkfs.ext4 and e2fsck; the binaries come from build/.
set -euo pipefail
cd "$(dirname "$0")/.."
B=$PWD/build
work=$(mktemp -d /tmp/vek-ext4-demo-XXXXXX)
machine_pid= loop= img_loop= writers=()

cleanup() {
  set +e
  if [ ${#writers[@]} -gt 0 ]; then
    kill "${writers[@]}" 2>/dev/null
    wait "${writers[@]}" 2>/dev/null  # never a bare wait: that would wait for the machine too
  fi
  mountpoint -q "$work/restored" && umount "$work/restored"
  [ -n "$img_loop" ] && losetup -d "$img_loop"
  mountpoint -q "$work/live" && umount "$work/live"
  [ -n "$loop" ] && losetup -d "$loop"
  if [ -n "$machine_pid" ]; then
    kill "$machine_pid" 2>/dev/null
    for _ in $(seq 100); do kill -0 "$machine_pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$machine_pid" 2>/dev/null
  fi
  mountpoint -q "$work/dev" && { fusermount3 -u "$work/dev" || umount -l "$work/dev"; }
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/dev" "$work/live" "$work/restored"
"$B/machine/vek-machine" --disk "$work/disk.img" --disk-size 256M --dev "$work/dev" --log "$work/machine.log" &
machine_pid=$!
for _ in $(seq 100); do [ -e "$work/dev/vekdriver" ] && break; sleep 0.1; done
[ -e "$work/dev/vekdriver" ] || { echo "vek-machine did not start:"; cat "$work/machine.log"; exit 1; }
echo "vek-machine serves $(ls "$work/dev" | tr '\n' ' ')in $work/dev"

loop=$(losetup -f --show --direct-io=on "$work/dev/sda1")
mkfs.ext4 -q -F "$loop"
mount "$loop" "$work/live"
echo "ext4 on $loop over $work/dev/sda1, mounted at $work/live"

# Files that stay as they are, with their sums, then writers that never stop.
mkdir "$work/live/stable" "$work/live/busy"
for i in $(seq 1 200); do head -c $((RANDOM * 3 % 65536 + 1)) /dev/urandom > "$work/live/stable/f$i"; done
sync
(cd "$work/live/stable" && sha256sum f*) > "$work/stable.sums"
for t in 1 2 3; do
  (i=0; while :; do
     i=$((i + 1))
     head -c $((RANDOM % 32768 + 1)) /dev/urandom > "$work/live/busy/w${t}_$i"
     [ $((i % 4)) = 0 ] && rm -f "$work/live/busy/w${t}_$((i - 3))"
     [ $((i % 7)) = 0 ] && mv -f "$work/live/busy/w${t}_$((i - 1))" "$work/live/busy/r${t}_$i" 2>/dev/null
     [ $((i % 5)) = 0 ] && sync "$work/live/busy"
   done) &
  writers+=($!)
done
sleep 1

echo "backing up sda1 while 3 writers keep changing it"
"$B/agent/qel-agent" --dev "$work/dev" --no-progress --backing-dir "$work" backup sda1 -o "$work/sda1.img"
for w in "${writers[@]}"; do kill "$w"; done
wait "${writers[@]}" 2>/dev/null || true
writers=()

status=0
# A freeze may fall between an unlink and the release of its inode, which waits for the thaw:
# the kernel frees such orphans at mount, e2fsck -n reports them. Check what a mount makes of it.
cp --sparse=always "$work/sda1.img" "$work/check.img"
mount -o loop "$work/check.img" "$work/restored" && umount "$work/restored"
if e2fsck -fn "$work/check.img" >"$work/fsck.out" 2>&1; then
  echo "check: the image is a clean ext4 (e2fsck -fn)"
else
  echo "check FAILED: the image is not a clean file system:"; cat "$work/fsck.out"; status=1
fi
img_loop=$(losetup -f --show -r "$work/sda1.img")
mount -o ro "$img_loop" "$work/restored"
if (cd "$work/restored/stable" && sha256sum --quiet -c "$work/stable.sums"); then
  echo "check: all 200 files written before the snapshot are in the image, bit for bit"
else
  echo "check FAILED: files written before the snapshot differ in the image"; status=1
fi
echo "the image holds $(ls "$work/restored/busy" | wc -l) of the writers' files as they were at the freeze"
exit $status
