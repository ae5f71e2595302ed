#!/usr/bin/env bash
# A gzip-compressed log and the same log in UTF-16LE (with a byte order
# mark) in the real program under Xvfb: each opens like the plain file, a
# Japanese word is found on the same line, and a column block dragged over
# the page copies the same characters as from the plain file. A filter on
# the .gz shows the lines grep finds in the plain file.
# Usage: compressed.sh PATH_TO_DOLMIK
set -uo pipefail

source "$(dirname "$0")/lib.bash"

japanese_lines "$work/ja.log"
gzip -c "$work/ja.log" >"$work/ja.log.1.gz" || exit 1
{ printf '\xFF\xFE' && iconv -f UTF-8 -t UTF-16LE "$work/ja.log"; } >"$work/ja16.log" || exit 1

start_display
run_session "$work/ja.log" plain
run_session "$work/ja.log.1.gz" gzip
run_session "$work/ja16.log" utf16

for name in gzip utf16; do
  grep -q '^#        検索結果: 250 行目に(検索語)が有ります$' "$work/$name-log.txt" ||
    fail "$name: the search did not report line 250"
  grep -q 'ERROR' "$work/$name-log.txt" && fail "$name: an error in the log"
  [ "$(wc -l <"$work/$name-clip.txt")" = 3 ] || fail "$name: the block is not 3 lines"
  grep -q '[^ -~]' "$work/$name-clip.txt" || fail "$name: the block holds no Japanese text"
  check "the same block from the plain and the $name file" "$work/plain-clip.txt" "$work/$name-clip.txt"
done
grep -qxF "# UTF-16LE のファイルを UTF-8 に直して表示します: $work/ja16.log" "$work/utf16-log.txt" ||
  fail "utf16: the log does not say the file is read as UTF-16LE"

# A copy of whole lines gives each TAB as four blanks.
tr -d '\r' <"$work/ja.log" | grep '50 ' | head -n 3 | sed 's/\t/    /' >"$work/expected.txt"
"$program" "$work/ja.log.1.gz" >"$work/stdout.txt" 2>>"$work/stderr.txt" &
wait_for_main
filter_include '50 '
copy_rows 3 "$(tail -n 1 "$work/expected.txt")"
check 'the filtered .gz shows the lines grep finds' "$work/expected.txt" "$work/rows.txt"
end_app compressed
