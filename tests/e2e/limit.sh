#!/usr/bin/env bash
# The last lines of a file at the line limit, in the real window under Xvfb:
# a file of 2,147,483,646 lines (newlines, the last 200 with text) and two
# more past the limit. Its open names the file and the limit; a drag over the
# last page is inverted and copies those lines; Page Down and the wheel on
# the last page stay there; a jump shows the line asked for; a click on a
# search hit there selects that line; the search report says what was not
# searched. Needs 2 GiB of disk and about 2.5 GiB of memory.
# Usage: limit.sh PATH_TO_DOLMIK
set -uo pipefail

source "$(dirname "$0")/lib.bash"

python3 - "$work/limit.txt" <<'PY'
import sys
limit, tail = 2147483646, 200
with open(sys.argv[1], 'wb') as f:
    block = b'\n' * (64 << 20)
    left = limit - tail
    while left > 0:
        f.write(block[:min(left, len(block))])
        left -= min(left, len(block))
    f.write(b''.join(b'row %d\n' % n for n in range(limit - tail + 1, limit + 1)))
    f.write(b'beyond 1\nbeyond 2\n')
PY

# expect_rows FIRST LAST WHAT: the clipboard holds "row FIRST" .. "row LAST".
expect_rows() {
  seq -f 'row %.0f' "$1" "$2" >"$work/rows-expected.txt"
  check "$3" "$work/rows-expected.txt" "$work/clipboard.txt"
}
strip_x=600 # right of every row's text

start_display
"$program" "$work/limit.txt" >"$work/stdout.txt" 2>"$work/stderr.txt" &
wait_for_main
# The index of 2^31 lines ends with the limit's message box.
poll 280 visible '^Error$' || fail "no message box for the line limit"
xdotool windowfocus --sync "$(window_of '^Error$')" 2>/dev/null
xdotool key Return
poll 10 bash -c "! xdotool search --onlyvisible --name '^Error$'" || fail "the box stays"
focus_main

# The last page: a drag from row 5 to the last row in sight is inverted and
# copies the lines up to the file's last.
xdotool key ctrl+End
settle
drag_rows "$(row_y 5)" $last_row_y
settle
shot last-page
rows=$(dark_rows last-page $strip_x "$page_top" 712 | first_run)
read -r first last <<<"${rows:-0 0}"
if ((first < $(row_y 4) || first > $(row_y 5) || last < 700)); then
  fail "the drag over the last page is not inverted from row 5 down ($rows)"
fi
copy_page 'row 2147483646'
first_copied=$(head -n 1 "$work/clipboard.txt" | awk '$1 == "row" { print $2 + 0 }')
if ((${first_copied:-0} > 2147483590)); then
  expect_rows "$first_copied" 2147483646 "a drag over the last page copies its lines"
else
  fail "the copy of the last page starts with '$(head -c 40 "$work/clipboard.txt")'"
fi

# Page Down and the wheel on the last page stay at the end: three lines up
# from there, rows 0 to 2 are the file's last three lines.
xdotool mousemove --window "$main" 300 "$(row_y 2)" click 1
xdotool key Next
settle
xdotool mousemove --window "$main" 300 "$(row_y 2)" click 5
settle
xdotool key Up Up Up
settle
drag_rows "$(row_y 0)" "$(row_y 2)"
copy_page 'row 2147483646'
expect_rows 2147483644 2147483646 "Page Down and the wheel on the last page stay at the end"

# 検索 > 指定行へ移動: the line asked for is the top row.
jump_to 2147483600
focus_main
drag_rows "$(row_y 0)" "$(row_y 1)"
copy_page 'row 2147483601'
expect_rows 2147483600 2147483601 "a jump shows the line asked for on the top row"

# A continuous search for the last line, and a click on its hit: the hit is
# the fifth row, inverted.
continuous_search 'row 2147483646'
# The scan has ended when the page shows the hit on its top row, and the
# rows below it (past the file's end) are blank.
for ((try = 0; try < 120; try++)); do
  shot scan
  ink scan 150 "$(row_y 1)" 300 40 || break
  sleep 1
done
settle
xdotool mousemove --window "$results" 100 41 click 1
settle
shot selected
read -r rx ry rw rh < <(window_rect "$results")
hit=$(dark_rows selected $strip_x "$page_top" 712 | outside "$rx" "$ry" "$rw" "$rh" | first_run)
read -r first last <<<"${hit:-0 0}"
if [ -z "$hit" ] || ((first < $(row_y 3) || first > $(row_y 5))); then
  fail "a click on the hit on the last line does not invert the fifth row ($hit)"
fi
xdotool mousemove --window "$results" 736 172 click 1 # 閉じる

# The lines past the limit are not found, and the report says why.
open_search
xdotool mousemove --window "$search" 180 18 click 1 key ctrl+a
xdotool type --delay 5 'beyond'
xdotool mousemove --window "$search" 40 80 click 1  # 連続検索 off
xdotool mousemove --window "$search" 360 20 click 1 # 検索
for ((try = 0; try < 60; try++)); do
  sleep 2
  save_log
  grep -qF '検索文字が見つかりません' "$work/exec.txt" && break
done
logged "# *** ERROR *** ファイルの行数が上限の 2,147,483,646 行を超えるので、2,147,483,646 行目までを表示します: $work/limit.txt" ||
  fail "the limit's message does not name the file and the limit"
logged " > _select 0 2147483646" || fail "the click on the last line's hit is not _select 0 2147483646"
grep -A2 -F ' > _find_str 0 beyond' "$work/exec.txt" >"$work/beyond.txt"
printf '%s\n' " > _find_str 0 beyond" "# *** ERROR *** 検索文字が見つかりません" \
  "# 上限の 2,147,483,646 行より後の行は検索していません" >"$work/beyond-expected.txt"
check "a search past the limit says what it did not search" "$work/beyond-expected.txt" \
  "$work/beyond.txt"

sanitizer_check
finish limit
