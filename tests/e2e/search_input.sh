#!/usr/bin/env bash
# Input during a slow single search, in the real program under Xvfb: a second
# search, ファイル → 閉じる, Ctrl+O and a resize while the scan runs change
# nothing, キャンセル ends it, and the program stays usable; then a close of
# the main window during another slow search ends the program cleanly.
# Usage: search_input.sh PATH_TO_DOLMIK
set -uo pipefail

source "$(dirname "$0")/lib.bash"

# ---------------------------------------------------------------- files
# Lines on which the expression ^(a|a)*$ backtracks for tens of milliseconds
# each: the scan over them takes minutes unless it is cancelled.
for ((n = 1; n <= 4000; n++)); do printf 'aaaaaaaaaaaaaaaab\r\n'; done >"$work/slow.txt"

# close_window WINDOW: asks the window to close, as a window manager's close
# box does (WM_DELETE_WINDOW); xdotool only destroys or kills.
close_window() {
  python3 - "$1" <<'PY'
import ctypes, sys
x = ctypes.cdll.LoadLibrary("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
x.XFlush.argtypes = [ctypes.c_void_p]
class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("l", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]
d = x.XOpenDisplay(None)
e = ClientMessage()
e.type = 33  # ClientMessage
e.window = int(sys.argv[1])
e.message_type = x.XInternAtom(d, b"WM_PROTOCOLS", 0)
e.format = 32
e.l[0] = x.XInternAtom(d, b"WM_DELETE_WINDOW", 0)
e.l[1] = 0  # CurrentTime
x.XSendEvent(d, e.window, 0, 0, ctypes.byref(e))
x.XFlush(d)
PY
}

# start_search: a single regex search for ^(a|a)*$ through the dialog.
start_search() {
  focus_main
  xdotool key ctrl+f
  poll 10 visible '^検索$' || fail "Ctrl+F did not show the search dialog"
  search=$(window_of '^検索$')
  xdotool windowfocus --sync "$search" 2>/dev/null
  xdotool mousemove --window "$search" 180 18 click 1  # the search text
  xdotool key ctrl+a
  xdotool type --delay 5 '^(a|a)*$'
  xdotool mousemove --window "$search" 360 20 click 1  # 検索
}

# ---------------------------------------------------------------- display
start_display

"$program" "$work/slow.txt" >"$work/stdout.txt" 2>"$work/stderr.txt" &
wait_for_main

# ---------------------------------------------------------------- input during the scan
focus_main
xdotool key ctrl+f
poll 10 visible '^検索$' || fail "Ctrl+F did not show the search dialog"
search=$(window_of '^検索$')
xdotool mousemove --window "$search" 42 99 click 1  # 正規表現検索
start_search
settle
# A second search, the menu's 閉じる, Ctrl+O and a resize: the scan runs on.
xdotool mousemove --window "$search" 360 20 click 1
xdotool windowfocus --sync "$search" 2>/dev/null
xdotool key Return
focus_main
xdotool key alt+f
settle
xdotool key c
xdotool key Escape
xdotool key ctrl+o
xdotool windowsize "$main" 900 700
settle
import -window root "$work/during.png" 2>/dev/null
kill -0 "$app_pid" 2>/dev/null || fail "the program died during the scan"
# キャンセル, shown in the search dialog while the scan runs.
xdotool mousemove --window "$search" 360 100 click 1
# The menu works again once the scan has ended: the execution log is saved.
poll 10 bash -c "xdotool search --onlyvisible --name '^Dolmik$'" || fail "main window gone"
focus_main
xdotool key alt+f
settle
xdotool key s  # ログ保存(&S)
type_path '実行ログ保存' "$work/exec.log"
# The cancelled search says so, and the line it reached (which varies).
iconv -f CP932 -t UTF-8 "$work/exec.log" | tr -d '\r' | grep -E '^ > |^# \*\*\*|^# +検索中止' |
  sed -E 's/検索中止: [0-9]+ /検索中止: N /' >"$work/trail.txt"
cat >"$work/trail-expected.txt" <<EOF
 > _chenge_view 0
 > _open_file 0 $work/slow.txt
 > _find_str 0 ^(a|a)*\$
#        検索中止: N 行目まで検索しました(^(a|a)*\$)
 > _save_memo $work/exec.log
EOF
check "one search, no close, no open during the scan" "$work/trail-expected.txt" "$work/trail.txt"

# ---------------------------------------------------------------- close during the scan
start_search
settle
close_window "$main"
if poll 15 bash -c "! kill -0 $app_pid"; then
  wait "$app_pid"
  status=$?
  app_pid=""
  [ "$status" = 0 ] || fail "exit code $status after a close during the scan"
else
  fail "the program did not end after a close during the scan"
fi
sanitizer_check
finish search_input
