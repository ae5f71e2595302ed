#!/usr/bin/env bash
# Ignore case with a regular expression, in the real program under Xvfb: the
# expression is compiled as typed, so \d+ with 大文字・小文字を区別しない finds
# the lines with ASCII digits (line 1 too: a continuous search starts on the
# top line), in a Shift-JIS file whose other lines hold letters that case
# folding must not turn into digits, and full-width digits.
# Usage: search_case.sh PATH_TO_DOLMIK
set -uo pipefail

source "$(dirname "$0")/lib.bash"

for ((n = 1; n <= 300; n++)); do
  case $((n % 5)) in
    1) text="id $n: ok" ;;
    2) text="DDD ddd wWw sS bB" ;;
    3) text="数字なし：全角１２３" ;;
    4) text="x${n}y" ;;
    *) text="no digits here" ;;
  esac
  printf '%s\r\n' "$text"
done >"$work/digits-utf8.txt"
iconv -f UTF-8 -t CP932 "$work/digits-utf8.txt" >"$work/digits.txt" || exit 1
grep -n '[0-9]' "$work/digits-utf8.txt" | cut -d: -f1 >"$work/expected.txt"

start_display
"$program" "$work/digits.txt" >"$work/stdout.txt" 2>"$work/stderr.txt" &
wait_for_main

search_hits '\d+' 1 1 "$work/icase.log" >"$work/icase.txt"
check '\d+ ignoring case finds the digit lines' "$work/expected.txt" "$work/icase.txt"
search_hits '\d+' 1 0 "$work/exact.log" >"$work/exact.txt"
check '\d+ finds the same lines with case' "$work/expected.txt" "$work/exact.txt"

end_app search_case
