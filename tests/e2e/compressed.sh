#!/usr/bin/env bash
# A gzip-compressed log in the real program under Xvfb: it opens like the
# plain file, a Japanese word is found on the same line, and a column block
# dragged over the page copies the same characters as from the plain file.
# Usage: compressed.sh PATH_TO_DOLMIK
set -uo pipefail

source "$(dirname "$0")/lib.bash"

japanese_lines "$work/ja.log"
gzip -c "$work/ja.log" >"$work/ja.log.1.gz" || exit 1

start_display
run_session "$work/ja.log" plain
run_session "$work/ja.log.1.gz" gzip

grep -q '^#        検索結果: 250 行目に(検索語)が有ります$' "$work/gzip-log.txt" ||
  fail "gzip: the search did not report line 250"
grep -q 'ERROR' "$work/gzip-log.txt" && fail "gzip: an error in the log"
[ "$(wc -l <"$work/gzip-clip.txt")" = 3 ] || fail "gzip: the block is not 3 lines"
grep -q '[^ -~]' "$work/gzip-clip.txt" || fail "gzip: the block holds no Japanese text"
check "the same block from the plain and the gzip file" "$work/plain-clip.txt" "$work/gzip-clip.txt"

sanitizer_check
finish compressed
