#!/usr/bin/env bash
# The main job: builds the agent and runs its live-backup demo on built-in defaults.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh build >/dev/null
exec ./build/agent/qel-agent demo "$@"
