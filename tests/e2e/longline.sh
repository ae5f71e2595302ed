#!/usr/bin/env bash
# A line of 5 MB, in the real program under Xvfb: a search for the word at
# its end scrolls the page sideways to it and inverts it (pixels), and a
# column block dragged over the inverted cells copies the word (clipboard).
# Usage: longline.sh PATH_TO_DOLMIK
set -uo pipefail

source "$(dirname "$0")/lib.bash"

{
  printf 'first line\r\n'
  head -c 5000000 /dev/zero | tr '\0' 'a' | sed 's/aaaaaaaaa/abcdefgh /g'
  printf ' ZQXJEND tail\r\nlast line\r\n'
} >"$work/long.txt"

start_display
"$program" "$work/long.txt" >"$work/stdout.txt" 2>"$work/stderr.txt" &
wait_for_main
focus_main
settle

paste_search ZQXJEND
xdotool mousemove --window "$search" 360 52 click 1 # 閉じる
settle
shot found
# The hit is the top row: its inverted cells are the only part of the row
# that is mostly dark.
y0=$(awk -v t="$page_top" 'BEGIN { printf "%d", t + 1 }')
run=$(inverted_columns found 12 "$y0" 1000 10 |
  awk 'NR == 1 { lo = $1 } { hi = $1 } END { if (hi - lo >= 8) print lo, hi + 3 }')
if [ -z "$run" ]; then
  fail "no inverted hit on the top row after the search"
else
  echo "ok: the hit is in view and inverted (x $run)"
  read -r x0 x1 <<<"$run"
  focus_main
  xdotool key ctrl+w # range selection
  settle
  y=$(row_y 0)
  xdotool mousemove --window "$main" $((x0 + 2)) "$y" mousedown 1
  xdotool mousemove --window "$main" $(((x0 + x1) / 2)) "$y"
  xdotool mousemove --window "$main" $((x1 - 2)) "$y" mouseup 1
  copy_page ZQXJEND
  if grep -qx 'ZQXJEND' "$work/clipboard.txt"; then
    echo "ok: the block over the hit copies the word"
  else
    fail "the block over the hit copied: $(head -c 200 "$work/clipboard.txt")"
  fi
fi

quit_app
sanitizer_check
finish longline
