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
japanese_lines "$work/ja-utf8.txt"
iconv -f UTF-8 -t CP932 "$work/ja-utf8.txt" >"$work/ja-sjis.txt" || exit 1

start_display

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
