#!/usr/bin/env bash
# A UTF-8 file in the real program under Xvfb, driven with xdotool: the
# encoding is detected and shown, a Japanese word (pasted into the search
# box) is found, and a column block dragged over the page is copied. The same
# steps on the same text in Shift-JIS must put the same characters on the
# clipboard: the block the user dragged over is the block copied, whatever
# the encoding.
# Usage: encodings.sh PATH_TO_DOLMIK
set -uo pipefail

source "$(dirname "$0")/lib.bash"

# ---------------------------------------------------------------- files
# 1000 lines of Japanese text with TABs and half-width kana; every 250th line
# holds the search word 検索語.
for ((n = 1; n <= 1000; n++)); do
  mark=""
  ((n % 250 == 0)) && mark="検索語"
  printf '%05d 日本語の行です\tｶﾀｶﾅ 表示テスト%s\r\n' "$n" "$mark"
done >"$work/ja-utf8.txt"
iconv -f UTF-8 -t CP932 "$work/ja-utf8.txt" >"$work/ja-sjis.txt" || exit 1

start_display

# run_session FILE NAME: opens FILE alone, searches 検索語, turns on the range
# selection, drags a block over the first three rows and copies it; leaves
# the clipboard in $work/NAME-clip.txt and the saved execution log (UTF-8)
# in $work/NAME-log.txt.
run_session() {
  local file=$1 name=$2
  "$program" "$file" >"$work/stdout.txt" 2>>"$work/stderr.txt" &
  app_pid=$!
  poll 20 visible '^Dolmik$' || {
    fail "$name: the main window did not appear"
    return 1
  }
  main=$(window_of '^Dolmik$')
  focus_main
  settle

  # The search word goes in through the clipboard: typing it would need an
  # input method.
  printf '検索語' | xclip -selection clipboard
  xdotool key ctrl+f
  poll 10 visible '^検索$' || fail "$name: Ctrl+F did not show the search dialog"
  local search
  search=$(window_of '^検索$')
  xdotool windowfocus --sync "$search" 2>/dev/null
  xdotool key ctrl+a ctrl+v
  xdotool mousemove --window "$search" 360 20 click 1  # 検索
  settle
  xdotool mousemove --window "$search" 360 52 click 1  # 閉じる
  settle

  # Line 250 is now the top row. Range selection on, then a drag from the
  # first row to the third, over a few columns in the middle of the text.
  focus_main
  xdotool key ctrl+w
  settle
  xdotool mousemove --window "$main" 150 196 mousedown 1
  xdotool mousemove --window "$main" 180 209
  xdotool mousemove --window "$main" 215 222 mouseup 1
  xdotool mousemove --window "$main" 215 222 click 3
  settle
  xdotool key Down Down Down Return
  poll 10 bash -c "xclip -o -selection clipboard | grep -qv 検索語"
  xclip -o -selection clipboard >"$work/$name-clip.txt" 2>/dev/null

  focus_main
  xdotool key alt+f
  settle
  xdotool key s  # ログ保存(&S)
  type_path '実行ログ保存' "$work/$name-exec.log"
  iconv -f CP932 -t UTF-8 "$work/$name-exec.log" | tr -d '\r' >"$work/$name-log.txt"

  focus_main
  xdotool key alt+f
  settle
  xdotool key x  # 終了(&X)
  if poll 15 bash -c "! kill -0 $app_pid"; then
    wait "$app_pid"
    app_pid=""
  else
    fail "$name: the program did not end after 終了"
    kill "$app_pid"
    app_pid=""
  fi
}

run_session "$work/ja-utf8.txt" utf8
run_session "$work/ja-sjis.txt" sjis

# ---------------------------------------------------------------- checks
grep -q '^#        検索結果: 250 行目に(検索語)が有ります$' "$work/utf8-log.txt" ||
  fail "UTF-8: the search did not report line 250"
grep -q '^ > _find_str 0 検索語$' "$work/utf8-log.txt" || fail "UTF-8: no search echo"

# Three lines, each a piece of its source line made of whole characters.
if [ "$(wc -l <"$work/utf8-clip.txt")" != 3 ]; then
  fail "UTF-8: the block has $(wc -l <"$work/utf8-clip.txt") lines, not 3"
fi
iconv -f UTF-8 -t UTF-8 "$work/utf8-clip.txt" >/dev/null 2>&1 || fail "UTF-8: the block is not valid UTF-8"
n=250
while IFS= read -r piece; do
  line=$(sed -n "${n}p" "$work/ja-utf8.txt" | tr -d '\r' | sed 's/\t/    /')
  if [ -z "$piece" ] || [[ "$line" != *"$piece"* ]]; then
    fail "UTF-8: block line '$piece' is not a piece of line $n"
  fi
  n=$((n + 1))
done <"$work/utf8-clip.txt"
grep -q '[^ -~]' "$work/utf8-clip.txt" || fail "UTF-8: the block holds no Japanese text"
check "the same block from the UTF-8 and the Shift-JIS file" "$work/sjis-clip.txt" "$work/utf8-clip.txt"

sanitizer_check
finish encodings
