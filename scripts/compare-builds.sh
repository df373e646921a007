#!/usr/bin/env bash
# Runs the same analyses with two builds of kelvanore and checks that they
# agree: result files byte for byte, console lines identical once the
# elapsed times are masked. CI runs it on the native and the portable build.
# Usage: scripts/compare-builds.sh BUILD_DIR_A BUILD_DIR_B
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
a=$(cd "$1" && pwd)/kelvanore
b=$(cd "$2" && pwd)/kelvanore
data="$root/tests/data/sim3.bed"

cases=(
  "default|"
  "bootstrap|-B5"
  "cv|--cv=5"
  "penalty|-l 0,10"
  "em|-m em"
  "threads|-j3 -B2 --cv=2"
)

# Times are the only console text allowed to differ between builds.
mask() { sed -E 's/Elapsed: [0-9.]+/Elapsed: T/; s/\(([0-9.e+-]+) sec\)/(T sec)/' "$1"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for entry in "${cases[@]}"; do
  name=${entry%%|*}
  read -r -a opts <<<"${entry#*|}"
  for side in a b; do
    dir="$work/$name/$side"
    mkdir -p "$dir"
    bin=$a
    [ "$side" = b ] && bin=$b
    (cd "$dir" && "$bin" "${opts[@]}" "$data" 3 >stdout.txt 2>&1; echo $? >status.txt)
    mask "$dir/stdout.txt" >"$dir/console.txt"
    rm "$dir/stdout.txt"
  done
  if diff -r "$work/$name/a" "$work/$name/b" >"$work/$name.diff"; then
    echo "same: $name (${entry#*|})"
  else
    echo "DIFFERENT: $name (${entry#*|})"
    head -20 "$work/$name.diff"
    failed=1
  fi
done
exit $failed
