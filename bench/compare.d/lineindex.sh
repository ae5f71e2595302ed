#!/usr/bin/env bash
# The line index alone on the benchmark file's line starts: prints
# "lineindex/append/wc RATIO" (appending every start, median, over the median
# of wc -l on the same warm file; lower is better, the aim is a small
# fraction), "lineindex/bytes_a_line/2 RATIO" (1.00 is the budget of 2 bytes
# a line) and "#" lines with the absolute medians (append, Starts of a page
# of 63 rows at a random line, LineAt of a random offset).
# Usage: lineindex.sh FILE [BUILD_DIR]   (REPS, default 5, sets the runs per median)
set -euo pipefail
file=${1:?usage: lineindex.sh FILE [BUILD_DIR]}
build=${2:-$(cd "$(dirname "$0")/../.." && pwd)/build}
"$build/bench/bench_lineindex" "$file" --compare "${REPS:-5}"
