#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks, then configures and builds
# kelvanore and its tests in build/ (Release).
# Usage: scripts/setup.sh [--fuzz] [--bench] [--no-build] [extra cmake arguments]
#   --fuzz      also what the fuzz build needs (tests/fuzz/run.sh): clang with
#               its sanitizer and libFuzzer runtimes and its OpenMP library
#   --bench     also Google Benchmark, Python and GNU time, for the
#               benchmarks (bench/run.sh)
#   --no-build  install only; configure and build nothing
# Every package installation of the project goes through here, so that the
# scripts that need more than the build (CI, the fuzzers, the benchmarks)
# ask for it with an option instead of calling apt-get themselves.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make libboost-dev liblapack-dev libblas-dev libgtest-dev)
build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --fuzz) packages+=(clang-14 libclang-rt-14-dev libomp-14-dev) ;;
    --bench) packages+=(libbenchmark-dev python3 time) ;;
    --no-build) build=0 ;;
    *) break ;;
  esac
  shift
done

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

[ "$build" -eq 1 ] || exit 0
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build build -j"$(nproc)"
