#!/usr/bin/env bash
# The page, selection and window mends seen as the user sees them, under
# Xvfb with xdotool, screenshots and the clipboard: the search hit is not
# hidden by the search result window (after a search and after a click on a
# result); a document opened after a far right scroll shows its text from
# column 0; the page keys act on the page after a dialog; a tab switch leaves
# nothing inverted; a copied zero byte reaches the clipboard as U+00B7; a
# closed tab stays blank under a click.
# Usage: page_mends.sh PATH_TO_DOLMIK
set -uo pipefail

source "$(dirname "$0")/lib.bash"

# ---------------------------------------------------------------- files
zz=$(printf ' %.0s' {1..60})  # blanks: their inversion is solid
for ((n = 1; n <= 300; n++)); do
  if ((n == 150)); then printf '[%s]\r\n' "$zz"; else printf 'line %d\r\n' "$n"; fi
done >"$work/search.txt"
wide=$(printf 'W%.0s' {1..300})
for ((n = 1; n <= 40; n++)); do printf '%s\r\n' "$wide"; done >"$work/wide.txt"
for ((n = 1; n <= 200; n++)); do
  if ((n == 3)); then printf 'nul\0here\r\n'; else printf 'narrow %022d\r\n' "$n"; fi
done >"$work/narrow.txt"

tab_y=167
tab1_x=33
tab2_x=107
hbar_y=733
strip_x=400       # right of every short line's text, inside the match of 60 blanks

# ---------------------------------------------------------------- start
start_display
"$program" "$work/wide.txt" "$work/search.txt" >"$work/stdout.txt" 2>"$work/stderr.txt" &
wait_for_main
focus_main

# ---------------------------------------------------------------- the hit stays in view
# A continuous search for the 60 blanks of line 150 on the second tab: the hit is
# the page's top row, its match inverted.
continuous_search "$zz"
settle
shot after-search
read -r rx ry rw rh < <(window_rect "$results")
hit=$(dark_rows after-search $strip_x $page_top 730 | outside "$rx" "$ry" "$rw" "$rh" | first_run)
read -r first last <<<"${hit:-0 0}"
if [ -z "$hit" ] || ((first > $(row_y 1))); then
  fail "after the search the inverted match on the top row is hidden (window at $rx,$ry ${rw}x$rh)"
fi
# A click on the hit line of the result list: the hit becomes the fifth row,
# inverted across the page.
xdotool mousemove --window "$results" 100 41 click 1
settle
shot after-click
read -r rx ry rw rh < <(window_rect "$results")
hit=$(dark_rows after-click $strip_x $page_top 730 | outside "$rx" "$ry" "$rw" "$rh" | first_run)
read -r first last <<<"${hit:-0 0}"
if [ -z "$hit" ] || ((first < $(row_y 3) || first > $(row_y 5))); then
  fail "after a click on the result the inverted fifth row is hidden (window at $rx,$ry ${rw}x$rh)"
fi
xdotool mousemove --window "$results" 736 172 click 1  # 閉じる
poll 10 bash -c "! xdotool search --onlyvisible --name '^検索結果$'" || fail "result window stays"

# ---------------------------------------------------------------- column 0, page keys
# The first tab: its horizontal bar dragged to the far right, the file
# closed, a file of short lines opened through the dialog.
focus_main
xdotool mousemove $tab1_x $tab_y click 1
settle
xdotool mousemove 36 $hbar_y mousedown 1 mousemove 500 $hbar_y mousemove 1010 $hbar_y mouseup 1
settle
xdotool key alt+f
settle
xdotool key c  # 閉じる(&C)
settle
open_path "$work/narrow.txt"
settle
shot narrow
# The first row's text, right of its line number.
ink narrow 150 "$page_top" 130 12 || fail "the new document's first row shows no text"
# Back from the dialog (here no window manager gives the window back its
# focus: xdotool does), Ctrl+End and Ctrl+Home move the page (the log shows
# their _jump lines).
focus_main
xdotool key ctrl+End
settle
xdotool key ctrl+Home
settle

# ---------------------------------------------------------------- no stale highlight
shot plain
xdotool mousemove 150 "$(row_y 8)" mousedown 1 mousemove 160 "$(row_y 10)" \
  mousemove 170 "$(row_y 11)" mouseup 1
settle
xdotool mousemove $tab2_x $tab_y click 1
settle
xdotool mousemove $tab1_x $tab_y click 1
settle
shot back
same_region plain back 14 "$page_top" 940 520 || fail "the page keeps an inversion after a tab switch"
# A new drag over rows 2 and 3 (the lines 3 and 4, the first with a zero
# byte): only they are inverted, and the copy holds them.
xdotool mousemove 150 "$(row_y 2)" mousedown 1 mousemove 160 "$(row_y 3)" mouseup 1
settle
shot selected
rows=$(dark_rows selected $strip_x "$page_top" 730 | first_run)
read -r first last <<<"${rows:-0 0}"
if ((first < $(row_y 1) || first > $(row_y 2) || last < $(row_y 3) || last > $(row_y 4))); then
  fail "the inverted rows ($rows) are not exactly rows 2 and 3"
fi
xdotool mousemove 180 "$(row_y 3)" click 3
settle
xdotool key Down Down Down Return  # コピー
poll 10 bash -c "xclip -o -selection clipboard | grep -q here"
xclip -o -selection clipboard >"$work/clipboard.txt" 2>/dev/null
printf 'nul\302\267here\nnarrow %022d\n' 4 >"$work/clipboard-expected.txt"
check "a zero byte is copied as U+00B7" "$work/clipboard-expected.txt" "$work/clipboard.txt"

# ---------------------------------------------------------------- a closed tab stays blank
xdotool key alt+f
settle
xdotool key c  # 閉じる(&C)
settle
xdotool mousemove 300 "$(row_y 5)" click 1
settle
shot closed
if ink closed 14 "$page_top" 900 500; then fail "the closed tab shows ink after a click"; fi

# ---------------------------------------------------------------- the trail
focus_main
xdotool key alt+f
settle
xdotool key s  # ログ保存(&S)
type_path '実行ログ保存' "$work/exec.log"
iconv -f CP932 -t UTF-8 "$work/exec.log" | tr -d '\r' | grep '^ > ' >"$work/trail.txt"
cat >"$work/trail-expected.txt" <<END
 > _chenge_view 0
 > _open_file 0 $work/wide.txt
 > _chenge_view 1
 > _open_file 1 $work/search.txt
 > _find_str 1 $zz
 > _jump 1 146
 > _select 1 150
 > _chenge_view 0
 > _quit_file 0
 > _open_file 0 $work/narrow.txt
 > _jump 0 159
 > _follow_tail 0 1
 > _jump 0 1
 > _follow_tail 0 0
 > _chenge_view 1
 > _chenge_view 0
 > _quit_file 0
 > _save_memo $work/exec.log
END
check "command trail: the page keys acted after the open dialog" "$work/trail-expected.txt" \
  "$work/trail.txt"

end_app page_mends
