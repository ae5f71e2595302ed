#!/usr/bin/env bash
# Search scan against grep on the benchmark file: prints "search/NAME RATIO"
# lines (median over the yardstick's median; lower is better) and "#" lines
# with the absolute medians.                                           limit
#   search/plain400_grep   continuous "ZQXJ" (~400 hits)    / grep -c      0.8
#   search/icase_grepci    continuous "zqxj", case ignored  / LC_ALL=C grep -ci 1.5
#   search/regex_floor     continuous regex                 / regexec with REG_UTF
#                          on every line's text in UTF-8                 1.3
#   search/regex_grepE     the same regex                   / grep -cE  (informative)
#   search/plain400k_grep  continuous "WARN" (~400,000 hits) with search-log lines / grep -c 2.0
# Usage: search.sh FILE [BUILD_DIR]   (REPS, default 5, sets the runs per median)
set -euo pipefail
file=${1:?usage: search.sh FILE [BUILD_DIR]}
build=${2:-$(cd "$(dirname "$0")/../.." && pwd)/build}
"$build/bench/bench_search" "$file" --compare "${REPS:-5}"
