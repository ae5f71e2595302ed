#!/usr/bin/env bash
# The filter against the continuous search on the benchmark file: prints
# "filter/NAME RATIO" lines (median over median; lower is better) and "#"
# lines with the absolute medians.                                      limit
#   filter/plain400_search   filter "ZQXJ" / continuous search "ZQXJ"     1.5
#   filter/plain400k_search  filter "WARN" / continuous search "WARN"     1.5
#   filter/dense_search      filter "INFO" (half the lines) / search      1.5
#   filter/sparse_search     filter "readx" (0.14 % of lines) / search    1.5
#   filter/exclude_search    filter without "ZQXJ" / search "ZQXJ"        1.5
#   filter/both_search       "INFO" without "readx" / search "INFO"       1.5
#   filter/regex_search      regex "read[xy][0-9]" / the same search      1.5
#   filter/icase_search      filter "zqxj", case ignored / the same search 1.5
#   filter/memory            shown-lines list / (0.2 B a line + 4 B a shown line) 1.00
#   filter/gz_NAME_zcat      filter on FILE.gz / zcat FILE.gz | grep -c     (none)
# The last lines come when FILE.gz exists: the filter of the dense and the
# sparse case on the gzip copy (opened once a run, the index built first)
# against `zcat | grep -c`, interleaved run by run.
# Usage: filter.sh FILE [BUILD_DIR]   (REPS, default 5, sets the runs per median)
set -euo pipefail
file=${1:?usage: filter.sh FILE [BUILD_DIR]}
build=${2:-$(cd "$(dirname "$0")/../.." && pwd)/build}
reps=${REPS:-5}
"$build/bench/bench_filter" "$file" --compare "$reps"
[ -f "$file.gz" ] || exit 0
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for pair in dense:INFO sparse:readx; do
  name=${pair%%:*} word=${pair#*:}
  : >"/tmp/filter-gz-$$.f"
  : >"/tmp/filter-gz-$$.z"
  for ((rep = 0; rep < reps; rep++)); do
    "$build/bench/bench_filter" "$file.gz" --compare 1 --filter-only "--case=$name" |
      sed -n 's/^# filter medians of 1 runs (s): [^ ]* \([0-9.]*\).*/\1/p' >>"/tmp/filter-gz-$$.f"
    start=$(date +%s.%N)
    zcat "$file.gz" | grep -c "$word" >/dev/null
    echo "$(date +%s.%N) - $start" | bc >>"/tmp/filter-gz-$$.z"
  done
  f=$(median <"/tmp/filter-gz-$$.f")
  z=$(median <"/tmp/filter-gz-$$.z")
  rm -f "/tmp/filter-gz-$$.f" "/tmp/filter-gz-$$.z"
  echo "filter/gz_${name}_zcat $(echo "scale=2; $f / $z" | bc)"
  echo "# filter on $file.gz +$word: median $f s vs zcat | grep -c: median $z s ($reps runs)"
done
