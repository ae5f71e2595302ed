#!/usr/bin/env bash
# The window alive while a file is indexed, under Xvfb: the index is held
# after its first 8 MiB (DOLMIK_TEST_INDEX_HOLD), the page scrolls and jumps
# to the end of the lines indexed so far, the copy takes lines from there, and
# Esc ends the open with a log line, leaving the slot empty.
# Usage: index.sh PATH_TO_DOLMIK
set -uo pipefail

source "$(dirname "$0")/lib.bash"

# 3,000,000 lines of 9 bytes: 27 MB, of which the first 8 MiB (932,067
# whole lines) are indexed before the hold.
seq -f 'L%07g' 1 3000000 >"$work/big.txt"
held=932067

start_display
DOLMIK_TEST_INDEX_HOLD=1 "$program" "$work/big.txt" >"$work/stdout.txt" 2>"$work/stderr.txt" &
wait_for_main
focus_main
settle

# ---------------------------------------------------------------- scroll and jump
# Page Down on the page, then ファイル最後へ移動 (Ctrl+End): the last page of
# the lines indexed so far.
xdotool mousemove --window "$main" 300 400 click 1
xdotool key Next Next
settle
xdotool key ctrl+End
settle
import -window root "$work/during.png" 2>/dev/null
# Copy the page's first row through the context menu: it must be a line from
# the end of what is indexed.
xdotool mousemove --window "$main" 150 200 mousedown 1
xdotool mousemove --window "$main" 160 205
xdotool mousemove --window "$main" 170 210 mouseup 1
context_copy 170 210
poll 10 bash -c "xclip -o -selection clipboard | grep -q '^L'" || fail "nothing copied"
copied=$(xclip -o -selection clipboard 2>/dev/null | head -1 | sed 's/^L0*//')
if [ -z "$copied" ] || ((copied < held - 100 || copied > held)); then
  fail "the last page shows line $copied, not one near line $held"
else
  echo "ok: the last page during the index shows line $copied of $held"
fi

# ---------------------------------------------------------------- cancel
focus_main
xdotool key Escape
settle
save_log
grep -E '^ > |^# ファイルオープンを中止' "$work/exec.txt" | sed 's/_jump 0 [0-9]*/_jump 0 N/' \
  >"$work/trail.txt"
cat >"$work/trail-expected.txt" <<EOT
 > _chenge_view 0
 > _open_file 0 $work/big.txt
 > _jump 0 N
 > _follow_tail 0 1
# ファイルオープンを中止しました: $work/big.txt
 > _save_memo $work/exec.log
EOT
check "log of the cancelled open" "$work/trail-expected.txt" "$work/trail.txt"
grep -q 'ファイルオープン終了' "$work/exec.txt" && fail "the cancelled open logged its end"
import -window root "$work/after.png" 2>/dev/null
[ -n "${DOLMIK_E2E_SHOTS:-}" ] && cp "$work/during.png" "$work/after.png" "$DOLMIK_E2E_SHOTS/"

# ---------------------------------------------------------------- exit
end_app index
