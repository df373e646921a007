#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks, then configures and builds
# kelvanore and its tests in build/ (Release).
# Usage: scripts/setup.sh [extra cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make libboost-dev liblapack-dev libblas-dev libgtest-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build build -j"$(nproc)"
