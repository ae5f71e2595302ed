#!/usr/bin/env bash
# Tabs and opens while an index is built, in the real window under Xvfb:
# a followed tab that grew while hidden keeps following when shown again
# (its bar agrees with its page: the next Down key scrolls one line); a tab
# closed during its index, or left empty by a refused open, looks as it did
# before anything was opened (no progress, no キャンセル, the search offered,
# no file name); a jump during the index to a line not yet indexed waits for
# it, shows it, and ends follow mode.
# Usage: tabs.sh PATH_TO_DOLMIK
set -uo pipefail

source "$(dirname "$0")/lib.bash"

log_line() { printf 'log line %05d\r\n' "$@"; }
log_line $(seq 1 100) >"$work/app.log"
printf 'other\r\n' >"$work/other.txt"
printf 'small\r\n' >"$work/small.txt"
# A billion short lines, held after their first 8 MiB until the script
# releases them; lines 900,000,001 on have text.
python3 - "$work/big.txt" <<'PY'
import sys
block = b'\n' * (64 << 20)
def feeds(f, count):
    while count > 0:
        f.write(block[:min(count, len(block))])
        count -= min(count, len(block))
with open(sys.argv[1], 'wb') as f:
    feeds(f, 900000000)
    f.write(b''.join(b'mark %d\n' % n for n in range(900000001, 900000101)))
    feeds(f, 100000000)
PY

# copy_rows Y0 Y1 EXPECTED_LAST: drags over the page and copies; the last
# line copied goes to last.txt.
copy_rows() {
  focus_main
  drag_rows "$1" "$2"
  copy_page "$3"
  tail -n 1 "$work/clipboard.txt" >"$work/last.txt"
  printf '%s\n' "$3" >"$work/last-expected.txt"
}
# next_tab / open_path PATH: tab changes and opens through the keyboard.
next_tab() {
  focus_main
  xdotool mousemove --window "$main" 300 "$(row_y 3)" click 1 key ctrl+Tab
  settle
}
prev_tab() {
  focus_main
  xdotool mousemove --window "$main" 300 "$(row_y 3)" click 1 key ctrl+shift+Tab
  settle
}
close_tab() {
  focus_main
  xdotool key alt+f
  settle
  xdotool key c # 閉じる
  settle
}
# The toolbar, the tab captions and the status bar.
chrome_same() {
  same_region "$1" "$2" 0 22 200 30 && same_region "$1" "$2" 0 150 600 26 &&
    same_region "$1" "$2" 0 742 1040 24
}

start_display
# Every index beyond its first 8 MiB waits for $work/release, so that the
# big file is still being indexed whenever the script says so.
DOLMIK_TEST_INDEX_HOLD=1 DOLMIK_TEST_INDEX_RELEASE="$work/release" \
  "$program" "$work/app.log" "$work/other.txt" >"$work/stdout.txt" 2>"$work/stderr.txt" &
wait_for_main
focus_main
settle

# ---------------------------------------------------------------- a hidden followed tab
prev_tab # tab 0
xdotool key alt+v
settle
xdotool key t # 末尾を追従
settle
next_tab # tab 1
log_line $(seq 101 2100) >>"$work/app.log"
settle
settle
next_tab
next_tab
next_tab # tab 0 again
xdotool key Down
settle
copy_rows "$(row_y 5)" $last_row_y 'log line 02100'
check "the tab shown again still shows the end after Down" "$work/last-expected.txt" "$work/last.txt"
log_line $(seq 2101 2150) >>"$work/app.log"
settle
settle
copy_rows "$(row_y 5)" $last_row_y 'log line 02150'
check "the tab shown again still follows" "$work/last-expected.txt" "$work/last.txt"

# ---------------------------------------------------------------- blank after a close or a refusal
next_tab
next_tab # tab 2
open_path "$work/small.txt"
settle
close_tab
shot blank
open_path "$work/big.txt"
settle
shot indexing
chrome_same blank indexing && fail "no progress shown while the index is built"
close_tab
shot closed
chrome_same blank closed || fail "a tab closed during its index keeps traces of it"
open_path "$work/big.txt"
settle
open_path "$work/other.txt" # held by tab 1: refused
settle
shot refused
chrome_same blank refused || fail "a refused open leaves traces on its tab"

# ---------------------------------------------------------------- a jump during the index
open_path "$work/big.txt"
settle
focus_main
xdotool key ctrl+End # follows the end known so far
jump_to 900000001
touch "$work/release" # the index may now reach the line
for ((try = 0; try < 60; try++)); do
  save_log
  (($(grep -c 'ファイルオープン終了' "$work/exec.txt") >= 4)) && break # with app, other, small
  sleep 2
done
logged "# 900000001 行目の読み込みを待っています（Esc で中止）" || fail "the jump did not wait for its line"
settle
copy_rows "$(row_y 0)" "$(row_y 1)" 'mark 900000002'
check "the jump shows its line after the index" "$work/last-expected.txt" "$work/last.txt"
head -n 1 "$work/clipboard.txt" | grep -qx 'mark 900000001' || fail "the top row is not line 900000001"

sanitizer_check
finish tabs
