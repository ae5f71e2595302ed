#!/usr/bin/env bash
# Compressed files read in place: makes FILE's compressed copies once, next
# to it (gzip -6, bzip2 -9, xz -6 -T2, which writes blocks, zstd -T2, which
# writes one frame, and pzstd -p 2, which writes several), and prints per
# copy "compressed/FORMAT/index/cat RATIO" (the streaming pass with the line
# count over "DECOMPRESSOR -dc | wc -l"; the aim is 1.3 at most),
# "compressed/FORMAT/page/50ms RATIO" (a random page read, median, over
# 50 ms), "compressed/FORMAT/points/1% RATIO" (the access points' memory over
# 1 % of the unpacked size) and a "#" line with the absolute figures.
# Usage: compressed.sh FILE [BUILD_DIR]   (REPS, default 3, sets the runs per
# median; FORMATS, default "gz zst pzst bz2 xz", which copies to make and use:
# bzip2 and xz take minutes to make a 1 GiB copy)
set -euo pipefail
file=${1:?usage: compressed.sh FILE [BUILD_DIR]}
build=${2:-$(cd "$(dirname "$0")/../.." && pwd)/build}
copies=()
for ext in ${FORMATS:-gz zst pzst bz2 xz}; do
  copy=$file.$ext
  if [[ ! -s "$copy" ]]; then
    case $ext in
      gz) gzip -6 -c "$file" >"$copy.tmp" ;;
      bz2) bzip2 -9 -c "$file" >"$copy.tmp" ;;
      xz) xz -6 -T2 -c "$file" >"$copy.tmp" ;;
      zst) zstd -q -T2 -c "$file" >"$copy.tmp" ;;
      pzst) command -v pzstd >/dev/null || continue; pzstd -q -p 2 -c "$file" >"$copy.tmp" ;;
      *) echo "compressed.sh: unknown format $ext" >&2; exit 2 ;;
    esac
    mv "$copy.tmp" "$copy"
  fi
  copies+=("$copy")
done
"$build/bench/bench_compressed" "${copies[@]}" --compare "${REPS:-3}"
