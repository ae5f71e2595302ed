#!/usr/bin/env bash
# Follow mode in the real window under Xvfb: a log file opened from the
# command line, 表示 > 末尾を追従 turned on through the menu, lines appended by
# a writer (a partial line and a CR LF split across writes among them), then
# the last row of the page copied through a drag and the context menu: it is
# the file's last line. A rotation (rename and a new file) is followed too,
# and so is one to an empty file that then gets Japanese in UTF-8.
# Usage: follow.sh PATH_TO_DOLMIK
set -uo pipefail

source "$(dirname "$0")/lib.bash"

for ((n = 1; n <= 100; n++)); do printf 'log line %05d\r\n' "$n"; done >"$work/app.log"

start_display
"$program" "$work/app.log" >"$work/stdout.txt" 2>"$work/stderr.txt" &
wait_for_main
focus_main
settle

# 表示(&V) > 末尾を追従(&T)
xdotool key alt+v
settle
xdotool key t
settle

# The writer: whole lines, a partial line, its CR, then its LF.
for ((n = 101; n <= 400; n++)); do printf 'log line %05d\r\n' "$n"; done >>"$work/app.log"
printf 'log line 00401 partial' >>"$work/app.log"
sleep 0.3
printf ' done\r' >>"$work/app.log"
sleep 0.3
printf '\n' >>"$work/app.log"
settle
settle

# copy_last_rows EXPECTED_LAST: drags from the page's fifth row down to the
# last row in sight (the frame clips the page at y 712 of the window on this
# screen) and copies through the context menu (Open, Close, Copy): the last
# line copied is the last line the user sees.
copy_last_rows() {
  focus_main
  xdotool mousemove --window "$main" 150 260 mousedown 1
  xdotool mousemove --window "$main" 160 600
  xdotool mousemove --window "$main" 170 710 mouseup 1
  xdotool mousemove --window "$main" 170 600 click 3
  settle
  xdotool key Down Down Down Return
  poll 10 bash -c "xclip -o -selection clipboard | tail -n 1 | grep -q '$1'" || true
  xclip -o -selection clipboard 2>/dev/null | tail -n 1 >"$work/last.txt"
  printf '%s\n' "$1" >"$work/last-expected.txt"
}
copy_last_rows 'log line 00401 partial done'
check "the last row after growth is the file's last line" "$work/last-expected.txt" "$work/last.txt"
import -window root "$work/follow.png" 2>/dev/null && [ -n "${DOLMIK_E2E_SHOTS:-}" ] &&
  cp "$work/follow.png" "$DOLMIK_E2E_SHOTS/follow.png"

# Rotation: the file is renamed away and a new one takes its name.
mv "$work/app.log" "$work/app.log.1"
for ((n = 1; n <= 150; n++)); do printf 'rotated %05d\r\n' "$n"; done >"$work/app.log"
settle
settle
copy_last_rows 'rotated 00150'
check "the last row after a rotation is the new file's last line" "$work/last-expected.txt" "$work/last.txt"

# Rotated to an empty file, which is followed as well; the Japanese that
# comes next (UTF-8) is detected again, so it reads as written.
mv "$work/app.log" "$work/app.log.2"
: >"$work/app.log"
settle
printf '日本語の行 %05d\r\n' $(seq 1 150) >>"$work/app.log"
settle
settle
copy_last_rows '日本語の行 00150'
check "the Japanese appended to an empty file reads as written" "$work/last-expected.txt" "$work/last.txt"

# The trail: follow mode is echoed; the rotation is logged.
focus_main
xdotool key alt+f
settle
xdotool key s  # ログ保存(&S)
type_path '実行ログ保存' "$work/exec.log"
iconv -f CP932 -t UTF-8 "$work/exec.log" | tr -d '\r' >"$work/exec.txt"
grep -q '^ > _follow_tail 0 1$' "$work/exec.txt" || fail "no _follow_tail echo"
grep -q "^# ファイルが新しいファイルに置き換えられたので、先頭から読み直します: $work/app.log\$" \
  "$work/exec.txt" || fail "no rotation log line"

sanitizer_check
finish follow
