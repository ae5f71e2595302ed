#!/usr/bin/env bash
# bench/compare.sh [FILE]
#
# Compares the viewer's costs with familiar yardsticks on one warm file and
# prints one line per comparison, "NAME RATIO" (lower is better): a median
# time over a standard tool's median time on the same file (index/wc), or a
# figure over its budget (rss/..., page63/2ms: 1.00 is the budget), followed
# by informative lines that begin with "#". The store's own lines:   limit
#   index/wc            open to index complete / wc -l, warm            1.5
#   index/floor         the same / the scan floor: memchr over a fresh
#                       mapping with as many threads as cores           1.3
#   cold/wc             the same on a cold file (its pages dropped
#                       first, posix_fadvise DONTNEED) / cold wc -l     1.5
#   cold/search_after/read  a plain search on the file as the cold open
#                       left it in the page cache / the same after cat  1.1
#   rss/(2B+64MiB)      VmRSS after the open / (2 B a line + 64 MiB)    1.00
#   page63/2ms          63 GetLine at a random line, remap included     1.00
#
# Without FILE a 1 GiB log-like file is made once with gen_logfile and kept
# in build/bench-data/; FILE "big" makes and uses a 5 GiB one there (about
# 200 million lines; kept out of the test run, 5 GiB of disk). The bench programs are built in Release in
# $BUILD_DIR (default build-bench, so that the test build in build/ keeps its
# own configuration). Every bench/compare.d/*.sh is run as
# "SCRIPT FILE BUILD_DIR" and its lines are printed as they come.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# The libraries and the yardsticks (wc, grep, rg, the unpackers).
bash scripts/setup.sh
build=${BUILD_DIR:-build-bench}
reps=${REPS:-5}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DDOLMIK_TESTS=OFF -DDOLMIK_WERROR=OFF >/dev/null
targets=(gen_logfile)
for src in bench/bench_*.cpp; do targets+=("$(basename "$src" .cpp)"); done
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >/dev/null

file=${1:-}
if [[ -z "$file" || "$file" == big ]]; then
  mkdir -p build/bench-data
  size=$((1 << 30)) name=log-1GiB.txt
  [[ "$file" == big ]] && size=$((5 << 30)) name=log-5GiB.txt
  file=build/bench-data/$name
  if [[ ! -s "$file" ]]; then
    "$build/bench/gen_logfile" "$file.tmp" "$size" 1
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
warm() {
  dd if="$file" iflag=nocache count=0 status=none 2>/dev/null || true
  cat "$file" >/dev/null
  cat "$file" >/dev/null
}
warm

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

wc_times=()
floor_times=()
floor_one=()
open_times=()
rss=()
rss_now=()
index=0
for ((i = 0; i < reps; i++)); do
  # Interleaved, so that both see the same load on the machine.
  start=$(now)
  wc -l "$file" >/dev/null
  wc_times+=("$(echo "$(now) - $start" | bc -l)")
  read -r _ seconds _ threads _ one < <("$build/bench/bench_floor" "$file")
  floor_times+=("$seconds")
  floor_one+=("$one")
  read -r _ seconds _ lines _ index _ peak _ now_rss < <("$build/bench/bench_store" --once "$file")
  open_times+=("$seconds")
  rss+=("$peak")
  rss_now+=("$now_rss")
done
wc_median=$(printf '%s\n' "${wc_times[@]}" | median)
open_median=$(printf '%s\n' "${open_times[@]}" | median)
floor_median=$(printf '%s\n' "${floor_times[@]}" | median)
floor_one_median=$(printf '%s\n' "${floor_one[@]}" | median)
rss_median=$(printf '%s\n' "${rss[@]}" | median)
rss_now_median=$(printf '%s\n' "${rss_now[@]}" | median)
rss_budget=$((2 * lines + 64 * 1024 * 1024))

# Cold: the file's pages are dropped before each run (posix_fadvise
# DONTNEED, no root needed), for wc -l and the open alike. Fewer runs: each
# reads the whole file from disk.
cold_reps=${COLD_REPS:-3}
cold_wc=()
cold_open=()
drop() { python3 -c 'import os,sys; fd=os.open(sys.argv[1], os.O_RDONLY); os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)' "$file"; }
for ((i = 0; i < cold_reps; i++)); do
  drop
  start=$(now)
  wc -l "$file" >/dev/null
  cold_wc+=("$(echo "$(now) - $start" | bc -l)")
  read -r _ seconds _ < <("$build/bench/bench_store" --once --cold "$file")
  cold_open+=("$seconds")
done
cold_wc_median=$(printf '%s\n' "${cold_wc[@]}" | median)
cold_open_median=$(printf '%s\n' "${cold_open[@]}" | median)
# The page cache now holds the file as the last cold open read it in. A
# plain search then should be as fast as after the file was read by another
# program: whoever reads a file first decides how its pages are held, and a
# mapping of single pages is slower to scan than one of large folios.
scan_ms() {
  "$build/bench/bench_search" "$file" --benchmark_filter='BM_Search/plain400/' \
    --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
    --benchmark_format=csv 2>/dev/null | awk -F, '/_median"?,/ { print $3; exit }'
}
after_cold_ms=$(scan_ms)
# The rest runs warm again, from the same state as the warm runs above.
warm
after_read_ms=$(scan_ms)

# A page of 63 lines at a random place, remap included, against 2 ms.
page_us=$("$build/bench/bench_store" "$file" --benchmark_filter=BM_RandomPage \
  --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
  --benchmark_format=csv 2>/dev/null | awk -F, '/_median"?,/ { print $3; exit }')
seq_ms=$("$build/bench/bench_store" "$file" --benchmark_filter=BM_SequentialLines \
  --benchmark_min_time=0.01 --benchmark_format=csv 2>/dev/null |
  awk -F, '/BM_SequentialLines/ { print $3; exit }')

printf 'index/wc %.2f\n' "$(echo "$open_median / $wc_median" | bc -l)"
printf 'index/floor %.2f\n' "$(echo "$open_median / $floor_median" | bc -l)"
printf 'cold/wc %.2f\n' "$(echo "$cold_open_median / $cold_wc_median" | bc -l)"
printf 'cold/search_after/read %.2f\n' "$(echo "$after_cold_ms / $after_read_ms" | bc -l)"
printf 'rss/(2B+64MiB) %.2f\n' "$(echo "$rss_now_median / $rss_budget" | bc -l)"
printf 'page63/2ms %.2f\n' "$(echo "$page_us / 2000" | bc -l)"
printf '# file %s: %d lines, %d bytes\n' "$file" "$lines" "$(stat -c %s "$file")"
printf '# index median %.3f s, wc -l median %.3f s (%d runs each; all: %s | %s)\n' \
  "$open_median" "$wc_median" "$reps" "${open_times[*]}" "${wc_times[*]}"
printf '# scan floor median %.3f s with %d threads, %.3f s with one (%d runs)\n' \
  "$floor_median" "$threads" "$floor_one_median" "$reps"
printf '# cold: index median %.3f s, wc -l median %.3f s (%d runs each; all: %s | %s)\n' \
  "$cold_open_median" "$cold_wc_median" "$cold_reps" "${cold_open[*]}" "${cold_wc[*]}"
printf '# plain search after the cold open %.1f ms, after a read by cat %.1f ms (medians of %d)\n' \
  "$after_cold_ms" "$after_read_ms" "$reps"
printf '# after the open VmRSS %.1f MiB (peak %.1f MiB), index %.1f MiB (%.2f B a line), budget %.1f MiB\n' \
  "$(echo "$rss_now_median / 1048576" | bc -l)" "$(echo "$rss_median / 1048576" | bc -l)" \
  "$(echo "$index / 1048576" | bc -l)" "$(echo "$index / $lines" | bc -l)" \
  "$(echo "$rss_budget / 1048576" | bc -l)"
printf '# page of 63 GetLine at random lines: median %.1f us\n' "$page_us"
printf '# GetLine over every line in order: %.0f ms\n' "$seq_ms"

shopt -s nullglob
for script in "$root"/bench/compare.d/*.sh; do
  bash "$script" "$file" "$build"
done
