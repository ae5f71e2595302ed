#!/usr/bin/env bash
# Search scan against grep on the benchmark file: prints "search/NAME RATIO"
# lines (medians; the ratio is already divided by its limit, so 1.00 is the
# limit and lower is better) and "#" lines with the absolute medians.
#   search/plain400_grep   continuous "ZQXJ" (~400 hits)    / (0.8 x grep -c)
#   search/icase_grepci    continuous "zqxj", case ignored  / (1.5 x LC_ALL=C grep -ci)
#   search/regex_floor     continuous regex "Z[A-Z]XJ"      / (1.3 x regexec on every line)
#   search/regex_grepE     the same regex                   / grep -cE (informative)
#   search/plain400k_grep  continuous "WARN" (~400,000 hits) with search-log lines / (2 x grep -c)
# Usage: search.sh FILE [BUILD_DIR]   (REPS, default 5, sets the runs per median)
set -euo pipefail
file=${1:?usage: search.sh FILE [BUILD_DIR]}
build=${2:-$(cd "$(dirname "$0")/../.." && pwd)/build}
"$build/bench/bench_search" "$file" --compare "${REPS:-5}"
