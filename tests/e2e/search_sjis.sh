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

n=0
for word in ポイント API; do
  n=$((n + 1))  # ASCII file names: xdotool types them into the save dialog
  search_hits "$word" 0 0 "$work/plain$n.log" >"$work/plain$n.txt"
  search_hits "$word" 1 0 "$work/regex$n.log" >"$work/regex$n.txt"
  grep -n "$word" "$work/words-utf8.txt" | cut -d: -f1 >"$work/expected$n.txt"
  check "plain $word finds the lines that hold it" "$work/expected$n.txt" "$work/plain$n.txt"
  check "regex $word finds the same lines" "$work/plain$n.txt" "$work/regex$n.txt"
done

end_app search_sjis
