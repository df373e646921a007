#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs each of them for the
# given number of seconds (60 by default), all at once, one core each.
# Installs clang first when it is missing (scripts/setup.sh --fuzz).
# Usage: tests/fuzz/run.sh [seconds] [target...]
# Targets: bedfileset pedmap pop matrix cmdline (all by default).
# Each target grows its corpus in build-fuzz/corpus/<target> (seeded from
# tests/fuzz/seeds/<target>) and writes what it finds to
# build-fuzz/findings/<target>/; the log of each run is
# build-fuzz/logs/<target>.log. The script fails when a target found
# something. FUZZ_BUILD_DIR names another build directory.
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(bedfileset pedmap pop matrix cmdline)

scripts/setup.sh --fuzz --no-build
CXX="${CXX:-$(command -v clang++-14 || command -v clang++)}"
out="${FUZZ_BUILD_DIR:-build-fuzz}"
mkdir -p "$out"
# RelWithDebInfo: optimised like a release, with the line numbers that the
# sanitizers' reports need.
if ! { cmake -S . -B "$out" -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DKELVANORE_FUZZ=ON -DKELVANORE_TESTS=OFF &&
       cmake --build "$out" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"; } > "$out/build.log" 2>&1; then
  cat "$out/build.log" >&2
  exit 1
fi
bin="$out/tests/fuzz"

# Leaks are checked (the targets free what the readers allocate); a reader
# that allocates beyond the limit for inputs of at most max_len bytes is a
# finding too.
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
pids=()
for t in "${targets[@]}"; do
  mkdir -p "$out/corpus/$t" "$out/findings/$t" "$out/logs"
  "$bin/fuzz_$t" "$out/corpus/$t" "tests/fuzz/seeds/$t" \
    -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=512 \
    -print_final_stats=1 -artifact_prefix="$out/findings/$t/" \
    > "$out/logs/$t.log" 2>&1 &
  pids+=($!)
done

status=0
for n in "${!targets[@]}"; do
  t="${targets[$n]}"
  if wait "${pids[$n]}"; then result="no finding"; else result="FINDING"; status=1; fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$out/logs/$t.log" | grep -o '[0-9]*$' || echo "?")
  printf '%-12s %12s executions  %s\n' "$t" "$runs" "$result"
done
[ $status -eq 0 ] || echo "see $out/findings/ and $out/logs/" >&2
exit $status
