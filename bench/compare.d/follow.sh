#!/usr/bin/env bash
# Following a growing file (the store alone): prints "follow/1M/wc RATIO" (a
# million appended lines taken in, median, over wc -l on the same bytes),
# "follow/1M/1s RATIO" (the same over the second a writer at a million lines
# a second takes; below 1 keeps up) and the idle watcher's CPU in ms a second.
# FILE is not used: the bench writes its own growing file.
# Usage: follow.sh FILE [BUILD_DIR]   (REPS, default 5, sets the runs per median)
set -euo pipefail
build=${2:-$(cd "$(dirname "$0")/../.." && pwd)/build}
"$build/bench/bench_follow" "${REPS:-5}"
