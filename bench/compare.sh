#!/usr/bin/env bash
# bench/compare.sh [FILE]
#
# Compares the viewer's costs with familiar yardsticks on one warm file and
# prints one line per comparison, "NAME RATIO" (lower is better): a median
# time over a standard tool's median time on the same file (index/wc), or a
# figure over its budget (rss/..., page63/50us: 1.00 is the budget), followed
# by informative lines that begin with "#".
#
# Without FILE a 1 GiB log-like file is made once with gen_logfile and kept
# in build/bench-data/. The bench programs are built in Release in
# $BUILD_DIR (default build-bench, so that the test build in build/ keeps its
# own configuration). Every bench/compare.d/*.sh is run as
# "SCRIPT FILE BUILD_DIR" and its lines are printed as they come.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${BUILD_DIR:-build-bench}
reps=${REPS:-5}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DDOLMIK_TESTS=OFF -DDOLMIK_WERROR=OFF >/dev/null
targets=(gen_logfile)
for src in bench/bench_*.cpp; do targets+=("$(basename "$src" .cpp)"); done
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >/dev/null

file=${1:-}
if [[ -z "$file" ]]; then
  mkdir -p build/bench-data
  file=build/bench-data/log-1GiB.txt
  if [[ ! -s "$file" ]]; then
    "$build/bench/gen_logfile" "$file.tmp" $((1 << 30)) 1
    mv "$file.tmp" "$file"
  fi
fi
[[ -r "$file" ]] || { echo "cannot read $file" >&2; exit 1; }
file=$(realpath "$file")
build=$(realpath "$build")

# Warm the page cache: every comparison below is about a file already in
# memory. The file's cached pages are dropped first (dd's nocache flag, no
# root needed) and read back: a file that stayed cached through memory
# pressure can be held in small pages, which makes mapping it up to twice as
# slow and the runs incomparable from one day to the next.
dd if="$file" iflag=nocache count=0 status=none 2>/dev/null || true
cat "$file" >/dev/null
cat "$file" >/dev/null

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

wc_times=()
open_times=()
rss=()
index=0
for ((i = 0; i < reps; i++)); do
  # Interleaved, so that both see the same load on the machine.
  start=$(now)
  wc -l "$file" >/dev/null
  wc_times+=("$(echo "$(now) - $start" | bc -l)")
  read -r _ seconds _ lines _ index _ peak < <("$build/bench/bench_store" --once "$file")
  open_times+=("$seconds")
  rss+=("$peak")
done
wc_median=$(printf '%s\n' "${wc_times[@]}" | median)
open_median=$(printf '%s\n' "${open_times[@]}" | median)
rss_median=$(printf '%s\n' "${rss[@]}" | median)
rss_budget=$((index + 48 * 1024 * 1024))

# A page of 63 lines at a random place, remap included, against 50 us.
page_us=$("$build/bench/bench_store" "$file" --benchmark_filter=BM_RandomPage \
  --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
  --benchmark_format=csv 2>/dev/null | awk -F, '/_median"?,/ { print $3; exit }')
seq_ms=$("$build/bench/bench_store" "$file" --benchmark_filter=BM_SequentialLines \
  --benchmark_min_time=0.01 --benchmark_format=csv 2>/dev/null |
  awk -F, '/BM_SequentialLines/ { print $3; exit }')

printf 'index/wc %.2f\n' "$(echo "$open_median / $wc_median" | bc -l)"
printf 'rss/(index+48MiB) %.2f\n' "$(echo "$rss_median / $rss_budget" | bc -l)"
printf 'page63/50us %.2f\n' "$(echo "$page_us / 50" | bc -l)"
printf '# file %s: %d lines, %d bytes\n' "$file" "$lines" "$(stat -c %s "$file")"
printf '# index median %.3f s, wc -l median %.3f s (%d runs each; all: %s | %s)\n' \
  "$open_median" "$wc_median" "$reps" "${open_times[*]}" "${wc_times[*]}"
printf '# open peak RSS %.1f MiB, index %.1f MiB, budget %.1f MiB\n' \
  "$(echo "$rss_median / 1048576" | bc -l)" "$(echo "$index / 1048576" | bc -l)" \
  "$(echo "$rss_budget / 1048576" | bc -l)"
printf '# page of 63 GetLine at random lines: median %.1f us\n' "$page_us"
printf '# GetLine over every line in order: %.0f ms\n' "$seq_ms"

shopt -s nullglob
for script in "$root"/bench/compare.d/*.sh; do
  bash "$script" "$file" "$build"
done
