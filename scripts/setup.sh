#!/usr/bin/env bash
# Installs the build's Debian packages when any is missing (needs root on a fresh machine).
set -euo pipefail
pkgs=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libboost-dev libcli11-dev nlohmann-json3-dev libfuse3-dev fuse3 pkg-config squashfs-tools fdisk)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
