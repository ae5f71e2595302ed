#!/usr/bin/env bash
# The program as a user meets it, on the benchmark file: prints "app/NAME
# RATIO" lines (lower is better; 1.00 is the budget where the limit is one)
# and "#" lines with the absolute medians.                             limit
#   app/first_page_ms      launch -> first page drawn, over 150 ms          1.00
#   app/index/wc           launch -> index complete / wc -l                 1.5
#   app/rss/(2B+64MiB)     VmRSS after the open / (2 B a line + 64 MiB)     1.00
#   app/find400k/grep      find command, "WARN" (~400,000 hits) / grep -c   2.0
#   app/find400/grep       find command, "ZQXJ" (~400 hits) / grep -c       0.8
#
# The first three start the real executable ($BUILD_DIR/app/dolmik FILE) on
# the offscreen platform with its timing trace on. The launch time is the
# wall clock noted just before the fork; every trace line carries the wall
# clock, so the figures include the loading before main(). The memory is read
# from /proc/PID/status a second after the index is complete, when the
# window has been shown; then the program is ended with SIGTERM. The last two
# come from bench_app, which drives the real windows and commands.
# Usage: app.sh FILE [BUILD_DIR]   (REPS, default 5, sets the runs per median)
set -euo pipefail
file=${1:?usage: app.sh FILE [BUILD_DIR]}
build=${2:-$(cd "$(dirname "$0")/../.." && pwd)/build}
reps=${REPS:-5}

cmake --build "$build" -j"$(nproc)" --target dolmik bench_app >/dev/null

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

epoch_ms() { local t=${EPOCHREALTIME/,/.}; echo "$t * 1000" | bc -l; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# The wall clock of a trace line, and its time since main().
trace_epoch() { sed -n "s/.*$1.*\\[epoch \\([0-9.]*\\) ms\\].*/\\1/p" "$2" | head -n 1; }
trace_main() { sed -n "s/^.* \\([0-9.]*\\) ms  $1.*/\\1/p" "$2" | head -n 1; }
status_kb() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$2/status"; }

wc_s=() first_ms=() index_s=() premain_ms=() rss_kb=() rss_index_kb=() hwm_kb=()
lines=0
for ((i = 0; i < reps; i++)); do
  # Interleaved, so that both sides of a ratio see the same load.
  t0=$(epoch_ms)
  wc -l "$file" >/dev/null
  t1=$(epoch_ms)
  wc_s+=("$(echo "($t1 - $t0) / 1000" | bc -l)")

  trace=$tmp/trace$i
  : >"$trace"
  launch=$(epoch_ms)
  QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="dolmik.timing=true" \
    "$build/app/dolmik" "$file" >/dev/null 2>"$trace" &
  pid=$!
  for ((w = 0; w < 1200; w++)); do
    grep -q 'index complete' "$trace" && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if ! grep -q 'index complete' "$trace"; then
    kill -TERM "$pid" 2>/dev/null || true
    echo "app.sh: no index complete from dolmik; its output:" >&2
    cat "$trace" >&2
    exit 1
  fi
  rss_index_kb+=("$(status_kb VmRSS "$pid")")
  sleep 1
  rss_kb+=("$(status_kb VmRSS "$pid")")
  hwm_kb+=("$(status_kb VmHWM "$pid")")
  kill -TERM "$pid"
  status=0
  wait "$pid" || status=$?
  # 143: ended by the SIGTERM sent above.
  [[ $status == 143 || $status == 0 ]] || echo "# app: dolmik ended with status $status" >&2

  first=$(trace_epoch 'first page drawn' "$trace")
  done_at=$(trace_epoch 'index complete' "$trace")
  main_at=$(echo "$first - $(trace_main 'first page drawn' "$trace")" | bc -l)
  first_ms+=("$(echo "$first - $launch" | bc -l)")
  index_s+=("$(echo "($done_at - $launch) / 1000" | bc -l)")
  premain_ms+=("$(echo "$main_at - $launch" | bc -l)")
  lines=$(sed -n 's/.*index complete (\([0-9]*\) lines).*/\1/p' "$trace" | head -n 1)
done

m_wc=$(printf '%s\n' "${wc_s[@]}" | median)
m_first=$(printf '%s\n' "${first_ms[@]}" | median)
m_index=$(printf '%s\n' "${index_s[@]}" | median)
m_premain=$(printf '%s\n' "${premain_ms[@]}" | median)
m_rss=$(printf '%s\n' "${rss_kb[@]}" | median)
m_rss_index=$(printf '%s\n' "${rss_index_kb[@]}" | median)
m_hwm=$(printf '%s\n' "${hwm_kb[@]}" | median)
budget_kb=$(((2 * lines + 64 * 1024 * 1024) / 1024))

printf 'app/first_page_ms %.2f\n' "$(echo "$m_first / 150" | bc -l)"
printf 'app/index/wc %.2f\n' "$(echo "$m_index / $m_wc" | bc -l)"
printf 'app/rss/(2B+64MiB) %.2f\n' "$(echo "$m_rss / $budget_kb" | bc -l)"
printf '# app launch medians of %d runs: first page %.1f ms (main() began at %.1f ms);' \
  "$reps" "$m_first" "$m_premain"
printf ' index complete %.3f s vs wc -l %.3f s (%d lines)\n' "$m_index" "$m_wc" "$lines"
printf '# app all runs: first page ms %s | index s %s | wc -l s %s\n' \
  "$(printf '%.1f ' "${first_ms[@]}")" "$(printf '%.3f ' "${index_s[@]}")" \
  "$(printf '%.3f ' "${wc_s[@]}")"
printf '# app memory medians: VmRSS %.1f MiB a second after the open (%.1f MiB at index' \
  "$(echo "$m_rss / 1024" | bc -l)" "$(echo "$m_rss_index / 1024" | bc -l)"
printf ' complete, VmHWM %.1f MiB), budget %.1f MiB\n' \
  "$(echo "$m_hwm / 1024" | bc -l)" "$(echo "$budget_kb / 1024" | bc -l)"

"$build/bench/bench_app" "$file" "$reps" 2>"$tmp/bench_app.err" || {
  cat "$tmp/bench_app.err" >&2
  exit 1
}
