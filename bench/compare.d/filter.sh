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
# Usage: filter.sh FILE [BUILD_DIR]   (REPS, default 5, sets the runs per median)
set -euo pipefail
file=${1:?usage: filter.sh FILE [BUILD_DIR]}
build=${2:-$(cd "$(dirname "$0")/../.." && pwd)/build}
"$build/bench/bench_filter" "$file" --compare "${REPS:-5}"
