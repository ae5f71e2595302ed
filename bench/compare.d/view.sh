#!/usr/bin/env bash
# Page drawing medians on the benchmark file: prints "view/draw_ms X" and
# "view/scroll_ms X" (absolute milliseconds; the aim is 2 ms or less each).
# Usage: view.sh FILE [BUILD_DIR]
set -euo pipefail
file=${1:?usage: view.sh FILE [BUILD_DIR]}
build=${2:-$(cd "$(dirname "$0")/../.." && pwd)/build}
QT_QPA_PLATFORM=offscreen "$build/bench/bench_view" "$file" 500 2>/dev/null
