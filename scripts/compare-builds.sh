#!/usr/bin/env bash
# Runs the same analyses with several builds of kelvanore, or one build at
# several kernel levels, and checks that they agree with the first: result
# files byte for byte, console lines identical once the elapsed times are
# masked. CI runs it on the default build against each x86-64 level that the
# CPU has.
# Usage: scripts/compare-builds.sh REFERENCE OTHER...
#   each side is BUILD_DIR, run as it chooses its kernels, or
#   BUILD_DIR:LEVEL, run with KELVANORE_ISA=LEVEL. A level that the CPU lacks
#   is reported and skipped.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
data="$root/tests/data/sim3.bed"
[ $# -ge 2 ] || { echo "usage: $0 REFERENCE OTHER..." >&2; exit 2; }

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

# run SIDE NAME OUTDIR OPTIONS...
run() {
  local side=$1 dir=$3
  shift 3
  local build=${side%%:*} level=
  [[ "$side" == *:* ]] && level=${side#*:}
  local bin
  bin=$(cd "$build" && pwd)/kelvanore
  mkdir -p "$dir"
  local environment=(env -u KELVANORE_ISA)
  [ -n "$level" ] && environment=(env "KELVANORE_ISA=$level")
  # A failing run is a result like any other: its status is compared.
  (cd "$dir" && { "${environment[@]}" "$bin" "$@" "$data" 3 >stdout.txt 2>&1 && echo 0 || echo $?; } >status.txt)
  mask "$dir/stdout.txt" >"$dir/console.txt"
  rm "$dir/stdout.txt"
}

# Every side runs its cases one after another; the sides run side by side,
# the reference first among them.
run_side() {
  local side=$1 out=$2 entry name opts
  for entry in "${cases[@]}"; do
    name=${entry%%|*}
    read -r -a opts <<<"${entry#*|}"
    run "$side" "$name" "$out/$name" "${opts[@]}"
  done
}

reference=$1
shift
run_side "$reference" "$work/ref" &
n=0
for side in "$@"; do
  n=$((n + 1))
  run_side "$side" "$work/$n" &
done
wait

failed=0
n=0
for side in "$@"; do
  n=$((n + 1))
  for entry in "${cases[@]}"; do
    name=${entry%%|*}
    dir="$work/$n/$name"
    if grep -q ': this CPU does not support it$' "$dir/console.txt"; then
      echo "skipped: $side (this CPU lacks the level)"
      continue 2
    fi
    if diff -r "$work/ref/$name" "$dir" >"$work/$n-$name.diff"; then
      echo "same: $side $name (${entry#*|})"
    else
      echo "DIFFERENT: $side $name (${entry#*|})"
      head -20 "$work/$n-$name.diff"
      failed=1
    fi
  done
done
exit $failed
