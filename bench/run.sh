#!/usr/bin/env bash
# The benchmark suite: installs what is missing (scripts/setup.sh --bench),
# builds a Release tree (build-bench; the kernels of every x86-64 level, the
# highest that the CPU has chosen at run time), makes the benchmark data sets
# with the seeded generator make_bench_data (bench/data/, git-ignored; made
# again whenever the generator is rebuilt), times the kernels with Google
# Benchmark and whole runs of the program, and writes bench/RESULTS.md.
#
#   bench/run.sh            the whole suite (about 15-25 minutes)
#   QUICK=1 bench/run.sh    the small data set only, for a smoke test; its
#                           report goes to bench/data/RESULTS-quick.md
#                           (git-ignored), leaving bench/RESULTS.md as it is
#
# Whole runs of the program are capped at a fixed number of iterations
# (-C N), except one default run per data set on 8 threads, which runs to
# convergence. On the first data set the default run on one thread is also
# made at each x86-64 level of the kernels (KELVANORE_ISA), side by side.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build="$root/build-bench"
data="$here/data"
make_data="$build/bench/make_bench_data"
mkdir -p "$data"

"$root/scripts/setup.sh" --bench --no-build

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELVANORE_BENCH=ON -DKELVANORE_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

# name I L K
sets=("b2000x100000 2000 100000 3" "b1000x50000k6 1000 50000 6")
report="$here/RESULTS.md"
if [[ "${QUICK:-0}" == 1 ]]; then
  sets=("b1000x50000k6 1000 50000 6")
  report="$data/RESULTS-quick.md"
fi

# A data set is made whole in a scratch directory and then put in place, so
# that an interrupted run never leaves a partial one to be timed later.
ensure_data() {
  local dir="$data/$1" I=$2 L=$3 K=$4
  if [[ ! "$dir/bench.bed" -nt "$make_data" || ! -f "$dir/bench.bim" || ! -f "$dir/bench.fam" ||
        ! -f "$dir/bench.$K.Q.truth" || ! -f "$dir/bench.$K.P.truth" ]]; then
    echo "making $1 ($I x $L, K = $K)"
    rm -rf "$dir.partial" "$dir"
    "$make_data" "$dir.partial" "$I" "$L" "$K"
    mv "$dir.partial" "$dir"
  fi
}

runs="$data/runs.tsv"
printf 'set\tI\tL\tK\tmethod\tthreads\tcap\titerations\tsec_per_iter\ttotal_sec\tpeak_kb\tconverged\n' >"$runs"

# set I L K label threads cap(0 = none) options...
whole_run() {
  local set=$1 I=$2 L=$3 K=$4 label=$5 threads=$6 cap=$7
  shift 7
  local dir="$data/run-$set-$label-$threads-$cap"
  rm -rf "$dir" && mkdir -p "$dir"
  local capopt=()
  if [[ "$cap" != 0 ]]; then capopt=(-C "$cap"); fi
  (cd "$dir" && /usr/bin/time -f '%M %e' -o time.txt \
    "$build/kelvanore" "$data/$set/bench.bed" "$K" -j"$threads" "${capopt[@]}" "$@" >out.txt 2>err.txt) || true
  # A run that fails makes time write a line of its own first.
  read -r peak total < <(tail -1 "$dir/time.txt")
  # Status lines of the main algorithm: "N (name) <tab>Elapsed: S ..."
  local stats
  stats=$(awk '/^Starting main algorithm/ {main = 1; next}
               main && /^[0-9]+ \(/ && /Elapsed:/ {
                 for (f = 1; f <= NF; ++f) if ($f == "Elapsed:") { s += $(f + 1); ++n }
               }
               END { if (n > 0) printf "%d\t%.4f", n, s / n; else printf "0\tNaN" }' "$dir/out.txt")
  # -C N is a pure iteration cap; only an uncapped run stops on the
  # convergence criterion.
  local converged=capped
  if [[ "$cap" == 0 ]] && grep -q '^Converged in' "$dir/out.txt"; then converged=yes; fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$set" "$I" "$L" "$K" "$label" "$threads" \
    "$cap" "$stats" "$total" "$peak" "$converged" >>"$runs"
  echo "  $set $label threads=$threads cap=$cap: $(tail -1 "$runs" | cut -f8-)"
}

for entry in "${sets[@]}"; do
  read -r set I L K <<<"$entry"
  ensure_data "$set" "$I" "$L" "$K"
  echo "kernels on $set"
  "$build/bench/bench_kernels" --data="$data/$set" --K="$K" --benchmark_min_time=0.5 \
    --benchmark_out="$data/kernels-$set.json" --benchmark_out_format=json >"$data/kernels-$set.txt"
  echo "whole runs on $set"
  for t in 1 2 4 8; do whole_run "$set" "$I" "$L" "$K" default "$t" 10; done
  whole_run "$set" "$I" "$L" "$K" default 8 0
  for t in 1 2 4 8; do whole_run "$set" "$I" "$L" "$K" "a-none" "$t" 10 -a none; done
  for t in 1 2 4 8; do whole_run "$set" "$I" "$L" "$K" "em-a-none" "$t" 20 -m em -a none; done
  if [[ "$set" == "${sets[0]%% *}" ]]; then
    # A level that the CPU lacks stops the run at once; its row says so.
    for level in x86-64 x86-64-v2 x86-64-v3 x86-64-v4; do
      KELVANORE_ISA=$level whole_run "$set" "$I" "$L" "$K" "level-$level" 1 10
    done
  fi
done

python3 "$here/make_results.py" "$data" "$report"
echo "wrote $report"
