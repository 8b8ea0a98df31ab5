#!/usr/bin/env bash
# The main job: builds the agent and runs a live-backup demo on built-in defaults. Where the
# machine can serve real files (root, /dev/fuse, loop devices, e2fsprogs) it backs up the
# host's own ext4 under load through vek-machine; elsewhere the agent's embedded demo, whose
# stand-in file system needs nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh build >/dev/null
why=
[ "$(id -u)" = 0 ] || why="not root"
[ -z "$why" ] && [ ! -w /dev/fuse ] && why="no /dev/fuse"
[ -z "$why" ] && [ ! -e /dev/loop-control ] && why="no loop devices"
[ -z "$why" ] && [ ! -x build/machine/vek-machine ] && why="vek-machine was not built"
[ -z "$why" ] && ! command -v mkfs.ext4 >/dev/null && why="no mkfs.ext4"
[ -z "$why" ] && ! command -v e2fsck >/dev/null && why="no e2fsck"
if [ -z "$why" ] && [ $# = 0 ]; then
  echo "== the real-ext4 demo: vek-machine, the host's ext4 on a loop device, qel-agent --dev"
  exec ./scripts/ext4-demo.sh
fi
echo "== the embedded demo (qel-agent demo)${why:+: the real-ext4 demo needs what is missing here: $why}"
exec ./build/agent/qel-agent demo "$@"
