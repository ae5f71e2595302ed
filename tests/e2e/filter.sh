#!/usr/bin/env bash
# The filter in the real program under Xvfb: Ctrl+L, INFO, Return shows the
# INFO lines alone (the rows copied are the first lines grep finds); Alt+E,
# ui:, Return hides those of them that hold ui:; 解除 gives the whole file
# back at the line that was on top.
# Usage: filter.sh PATH_TO_DOLMIK
set -uo pipefail

source "$(dirname "$0")/lib.bash"

for ((n = 1; n <= 5000; n++)); do
  case $((n % 7)) in
    0 | 3) level=INFO ;;
    1) level=DEBUG ;;
    5) level=WARN ;;
    *) level=info ;;
  esac
  part=core
  ((n % 3 == 0)) && part=ui
  printf '%05d %s %s: event %d\r\n' "$n" "$level" "$part" "$n"
done >"$work/app.log"
tr -d '\r' <"$work/app.log" >"$work/app.txt"

start_display
"$program" "$work/app.log" >"$work/stdout.txt" 2>"$work/stderr.txt" &
wait_for_main

filter_include INFO
grep INFO "$work/app.txt" | head -n 10 >"$work/expected.txt"
copy_rows 10 "$(tail -n 1 "$work/expected.txt")"
check 'the first rows are the first INFO lines' "$work/expected.txt" "$work/rows.txt"

xdotool windowfocus --sync "$(window_of '^フィルタ$')" 2>/dev/null
xdotool key alt+e
settle
xdotool type --delay 5 'ui:'
xdotool key Return
settle
grep INFO "$work/app.txt" | grep -v 'ui:' | head -n 40 >"$work/expected.txt"
copy_rows 40 "$(tail -n 1 "$work/expected.txt")"
check 'INFO without ui: fills the page' "$work/expected.txt" "$work/rows.txt"

# Scroll down a page, then 解除: the line on top stays on top.
focus_main
xdotool key Next
settle
copy_rows 1 ''
top=$(cat "$work/rows.txt")
filter=$(window_of '^フィルタ$')
xdotool windowfocus --sync "$filter" 2>/dev/null
xdotool key alt+e  # any option key first: the focus is in the dialog
xdotool mousemove --window "$filter" 360 128 click 1  # 解除
settle
grep -A 2 -xF -- "$top" "$work/app.txt" >"$work/expected.txt"
copy_rows 3 "$(tail -n 1 "$work/expected.txt")"
check '解除 shows every line from the same top line' "$work/expected.txt" "$work/rows.txt"

save_log
for line in ' > _filter 0 + INFO' ' > _filter 0 - ui:' ' > _filter 0 clear'; do
  logged "$line" || fail "the log lacks '$line'"
done

end_app filter
