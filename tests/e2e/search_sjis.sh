#!/usr/bin/env bash
# Regular expressions over a generated Shift-JIS file, in the real program
# under Xvfb: the words ポイント (whose ポ ends in the byte of '|') and API
# (which the bytes of 、PI also hold, 、 ending in 'A') find, as continuous
# regex searches, exactly the lines that the plain search finds.
# Usage: search_sjis.sh PATH_TO_DOLMIK
set -uo pipefail

source "$(dirname "$0")/lib.bash"

# ---------------------------------------------------------------- files
# Every 7th line holds ポイント, every 11th API; the others hold characters
# with the same lead byte as ポ (ア, イ, ン) and 、PI.
for ((n = 1; n <= 600; n++)); do
  text="$n アイン、PIの行"
  ((n % 7 == 0)) && text="$text ポイント"
  ((n % 11 == 0)) && text="$text API"
  printf '%s\r\n' "$text"
done >"$work/words-utf8.txt"
iconv -f UTF-8 -t CP932 "$work/words-utf8.txt" >"$work/words.txt" || exit 1

start_display
"$program" "$work/words.txt" >"$work/stdout.txt" 2>"$work/stderr.txt" &
wait_for_main

# search WORD REGEX(0/1) LOG: a continuous search for WORD from the top of the
# file, the result window saved to LOG after and cleared; prints the line
# numbers of its hits.
regex_checked=0
search() {
  focus_main
  xdotool key alt+s
  settle
  xdotool key t  # ファイル先頭へ移動(&T): the search starts after line 1
  focus_main
  xdotool key ctrl+f
  poll 10 visible '^検索$' || fail "Ctrl+F did not show the search dialog"
  local dialog
  dialog=$(window_of '^検索$')
  if [ "$2" != "$regex_checked" ]; then
    xdotool mousemove --window "$dialog" 42 99 click 1  # 正規表現検索
    regex_checked=$2
  fi
  xdotool windowfocus --sync "$dialog" 2>/dev/null
  xdotool mousemove --window "$dialog" 180 18 click 1  # the search text
  xdotool key ctrl+a BackSpace
  if [[ "$1" =~ ^[A-Za-z]+$ ]]; then
    xdotool type --delay 5 "$1"
  else
    # Japanese is pasted, so that no input method is needed.
    printf '%s' "$1" | xclip -selection clipboard
    poll 5 bash -c "[ \"\$(xclip -o -selection clipboard)\" = '$1' ]" || fail "clipboard"
    xdotool key ctrl+v
  fi
  settle
  xdotool mousemove --window "$dialog" 360 20 click 1  # 検索
  poll 20 visible '^検索結果$' || fail "no search result window"
  local results
  results=$(window_of '^検索結果$')
  poll 20 bash -c "! xdotool search --onlyvisible --name '^検索$'" || true
  settle
  xdotool mousemove --window "$results" 556 172 click 1  # 保存
  type_path '検索ログ保存' "$3" >&2
  settle
  xdotool mousemove --window "$results" 644 172 click 1  # クリアー
  # The hits of the last search in the saved log.
  iconv -f CP932 -t UTF-8 "$3" | tr -d '\r' |
    awk -F' : ' '/連続検索開始/ { n = 0 } /^ +[0-9]+ : / { hit[++n] = $2 + 0 }
                 END { for (i = 1; i <= n; i++) print hit[i] }'
}

focus_main
xdotool key ctrl+f
poll 10 visible '^検索$' || fail "Ctrl+F did not show the search dialog"
xdotool mousemove --window "$(window_of '^検索$')" 42 80 click 1  # 連続検索
n=0
for word in ポイント API; do
  n=$((n + 1))  # ASCII file names: xdotool types them into the save dialog
  search "$word" 0 "$work/plain$n.log" >"$work/plain$n.txt"
  search "$word" 1 "$work/regex$n.log" >"$work/regex$n.txt"
  grep -n "$word" "$work/words-utf8.txt" | cut -d: -f1 >"$work/expected$n.txt"
  check "plain $word finds the lines that hold it" "$work/expected$n.txt" "$work/plain$n.txt"
  check "regex $word finds the same lines" "$work/plain$n.txt" "$work/regex$n.txt"
done

focus_main
xdotool key alt+f
settle
xdotool key x  # 終了(&X)
if poll 15 bash -c "! kill -0 $app_pid"; then
  wait "$app_pid"
  app_pid=""
else
  fail "the program did not end after 終了"
fi
sanitizer_check
finish search_sjis
