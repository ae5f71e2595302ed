#!/usr/bin/env bash
# What the encodings cost on the benchmark file: prints "encoding/NAME RATIO"
# lines (lower is better) and "#" lines with the medians.              limit
#   encoding/detect_1ms         detection on 64 KiB (worst of Shift-JIS,
#                               UTF-8, EUC-JP) / 1 ms                    1.0
#   encoding/utf8_plain_grep    continuous "ZQXJ" on the UTF-8 form / grep -c 0.8
#   encoding/utf8_regex_floor   continuous regexes on the UTF-8 form / regexec
#                               with REG_UTF on every line (worse of two)  1.3
#   encoding/sjis_regex_floor   the same regexes on the Shift-JIS file / the
#                               same floor (UTF-8 form of the same text)   1.3
# The UTF-8 form of FILE is made once beside it (FILE.utf8).
# Usage: encoding.sh FILE [BUILD_DIR]   (REPS, default 5, sets the runs per median)
set -euo pipefail
file=${1:?usage: encoding.sh FILE [BUILD_DIR]}
build=${2:-$(cd "$(dirname "$0")/../.." && pwd)/build}
utf8=$("$build/bench/bench_encoding" "$file" --prepare)
# A file just written is held in the page cache as it was written; dropped
# and read back it is cached as the benchmark file is (see compare.sh).
dd if="$utf8" iflag=nocache count=0 status=none 2>/dev/null || true
cat "$utf8" >/dev/null
cat "$utf8" >/dev/null
"$build/bench/bench_encoding" "$file" --compare "${REPS:-5}"
