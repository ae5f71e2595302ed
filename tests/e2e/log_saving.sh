#!/usr/bin/env bash
# The execution log always saves, in the real program under Xvfb: a file
# whose name is Shift-JIS bytes opens and is shown by its name (the log is
# saved in Shift-JIS); after a search for an emoji, which Shift-JIS cannot
# hold, the log is saved as UTF-8 and says so; nothing keeps 終了 from ending
# the program. Each saved file is read back.
# Usage: log_saving.sh PATH_TO_DOLMIK
set -uo pipefail

source "$(dirname "$0")/lib.bash"

# ---------------------------------------------------------------- files
name=$(printf '\x93\xfa\x96\x7b.txt')  # 日本.txt as an archive from Windows names it
printf 'first line\r\nsecond line\r\n' >"$work/$name"

start_display
"$program" "$work/$name" >"$work/stdout.txt" 2>"$work/stderr.txt" &
wait_for_main
settle

# ---------------------------------------------------------------- the name
save_exec_log "$work/name.log"
iconv -f CP932 -t UTF-8 "$work/name.log" >"$work/name.txt" || fail "the first log is not Shift-JIS"
tr -d '\r' <"$work/name.txt" | grep -E '^ > ' >"$work/name-trail.txt"
cat >"$work/name-expected.txt" <<EXPECTED
 > _chenge_view 0
 > _open_file 0 $work/日本.txt
 > _save_memo $work/name.log
EXPECTED
check "a Shift-JIS file name is logged as it reads" "$work/name-expected.txt" "$work/name-trail.txt"

# ---------------------------------------------------------------- an emoji
paste_search '😀'
poll 10 visible '^Error$' || fail "the emoji search was not refused"
xdotool windowfocus --sync "$(window_of '^Error$')" 2>/dev/null
xdotool key Return
poll 10 bash -c "! xdotool search --onlyvisible --name '^Error$'" || fail "the refusal stays open"
xdotool mousemove --window "$search" 360 52 click 1  # 閉じる
save_exec_log "$work/emoji.log"
iconv -f UTF-8 -t UTF-8 "$work/emoji.log" >/dev/null 2>&1 || fail "the second log is not UTF-8"
tr -d '\r' <"$work/emoji.log" | grep -E '^ > |^# 実行ログ' >"$work/emoji-trail.txt"
cat >"$work/emoji-expected.txt" <<EXPECTED
 > _chenge_view 0
 > _open_file 0 $work/日本.txt
 > _save_memo $work/name.log
 > _find_str 0 😀
 > _save_memo $work/emoji.log
# 実行ログを UTF-8 で保存します（Shift_JIS で表せない文字があるため）
EXPECTED
check "a log holding an emoji is saved as UTF-8" "$work/emoji-expected.txt" "$work/emoji-trail.txt"

# ---------------------------------------------------------------- 終了
end_app log_saving
