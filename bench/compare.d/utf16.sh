#!/usr/bin/env bash
# UTF-16 files: converts FILE (UTF-8) once to UTF-16LE, kept next to it as
# FILE.utf16le (iconv), and prints
#   utf16/UTF-16LE(NAME)/index/cat  the transcoding pass with every line feed
#                                   counted (as the indexer does), median, over
#                                   the median of "wc -l < FILE.utf16le"
#   utf16/open/utf8                 open to index complete of the UTF-16 copy
#                                   (bench_store --once), median, over the
#                                   same for FILE
# and "#" lines with the absolute figures.
# Usage: utf16.sh FILE [BUILD_DIR]   (REPS, default 3, sets the runs per median)
set -euo pipefail
file=${1:?usage: utf16.sh FILE [BUILD_DIR]}
build=${2:-$(cd "$(dirname "$0")/../.." && pwd)/build}
reps=${REPS:-3}
copy=$file.utf16le
if [[ ! -s "$copy" ]]; then
  iconv -c -f UTF-8 -t UTF-16LE "$file" >"$copy.tmp"
  mv "$copy.tmp" "$copy"
fi
"$build/bench/bench_compressed" "$copy" --compare "$reps" | sed 's|^compressed/|utf16/|'

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
plain=() wide=()
for ((i = 0; i < reps; i++)); do
  plain+=("$("$build/bench/bench_store" --once "$file" | awk '{ print $2 }')")
  wide+=("$("$build/bench/bench_store" --once "$copy" | awk '{ print $2 }')")
done
p=$(printf '%s\n' "${plain[@]}" | median)
w=$(printf '%s\n' "${wide[@]}" | median)
awk -v p="$p" -v w="$w" 'BEGIN { printf "utf16/open/utf8 %.2f\n# open to index complete: UTF-16LE %.2f s, UTF-8 %.2f s\n", w / p, w, p }'
