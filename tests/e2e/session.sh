#!/usr/bin/env bash
# One whole session of the real program under Xvfb, driven with xdotool:
# two Shift-JIS files from the command line, a continuous search through the
# search dialog, the search log saved from its window, the bottom of the file
# through the menu, a mouse-drag selection copied through the context menu,
# the execution log saved through the menu, and the exit.
# Usage: session.sh PATH_TO_DOLMIK
set -uo pipefail

source "$(dirname "$0")/lib.bash"

# ---------------------------------------------------------------- files
# 3000 numbered lines of Japanese text (表 has the trail byte 0x5C, ｶﾀｶﾅ are
# single-byte), CR LF line ends; every 500th line holds the search word.
for ((n = 1; n <= 3000; n++)); do
  mark=""
  ((n % 500 == 0)) && mark=" NEEDLE"
  printf '%05d 日本語の行です ｶﾀｶﾅ 表示テスト%s\r\n' "$n" "$mark"
done >"$work/ja-utf8.txt"
iconv -f UTF-8 -t CP932 "$work/ja-utf8.txt" >"$work/ja.txt" || exit 1
for ((n = 1; n <= 100; n++)); do printf 'first file line %d\r\n' "$n"; done >"$work/first.txt"

# ---------------------------------------------------------------- display
start_display

# ---------------------------------------------------------------- start
"$program" "$work/first.txt" "$work/ja.txt" >"$work/stdout.txt" 2>"$work/stderr.txt" &
wait_for_main
focus_main

# ---------------------------------------------------------------- search
# The second file's tab is the active one. Ctrl+F puts the focus into the
# search text; 連続検索 and 検索 are clicked at their places in the dialog.
continuous_search NEEDLE
results=$(window_of '^検索結果$')
xdotool mousemove --window "$results" 556 172 click 1  # 保存
type_path '検索ログ保存' "$work/search.log"
iconv -f CP932 -t UTF-8 "$work/search.log" | tr -d '\r' | grep -E '^ +[0-9]+ : ' >"$work/hits.txt"
for n in 500 1000 1500 2000 2500 3000; do
  printf '  1 : %9d :  %05d 日本語の行です ｶﾀｶﾅ 表示テスト NEEDLE\n' "$n" "$n"
done >"$work/hits-expected.txt"
check "search log hit lines" "$work/hits-expected.txt" "$work/hits.txt"
xdotool mousemove --window "$results" 736 172 click 1  # 閉じる
poll 10 bash -c "! xdotool search --onlyvisible --name '^検索結果$'" || fail "result window stays"

# ---------------------------------------------------------------- bottom, select, copy
focus_main
xdotool key alt+s
settle
xdotool key b  # ファイル最後へ移動(&B): the last page in sight, 42 rows here, top line 2959
settle
# Drag over the page's rows 1 to 5 (lines 2960-2964), then copy through the
# context menu: Open, Close, Copy.
xdotool mousemove --window "$main" 150 200 mousedown 1
xdotool mousemove --window "$main" 170 230
xdotool mousemove --window "$main" 180 260 mouseup 1
context_copy 180 260
poll 10 bash -c "xclip -o -selection clipboard | grep -q 日本語"
xclip -o -selection clipboard >"$work/clipboard.txt" 2>/dev/null
sed -n '2960,2964p' "$work/ja-utf8.txt" | tr -d '\r' >"$work/clipboard-expected.txt"
check "clipboard after copy" "$work/clipboard-expected.txt" "$work/clipboard.txt"

# ---------------------------------------------------------------- execution log
save_log
grep '^ > ' "$work/exec.txt" >"$work/trail.txt"
cat >"$work/trail-expected.txt" <<EOF
 > _chenge_view 0
 > _open_file 0 $work/first.txt
 > _chenge_view 1
 > _open_file 1 $work/ja.txt
 > _find_str 1 NEEDLE
 > _save_search_log $work/search.log
 > _jump 1 2959
 > _follow_tail 1 1
 > _save_memo $work/exec.log
EOF
check "command trail in the saved execution log" "$work/trail-expected.txt" "$work/trail.txt"
# Every line ends with CR LF, and the time stamps of both opens are there.
if [ "$(grep -c $'\r$' "$work/exec.log")" != "$(wc -l <"$work/exec.log")" ]; then
  fail "execution log lines without CR LF"
fi
opens=$(grep -c 'ファイルオープン終了' "$work/exec.txt")
[ "$opens" = 2 ] || fail "expected 2 open end stamps, found $opens"

# ---------------------------------------------------------------- exit
end_app session
