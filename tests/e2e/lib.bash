# Shared by the end-to-end scripts (tests/e2e/*.sh): a work folder cleaned
# up on exit, failure counting, polling, xdotool helpers and an Xvfb display.
# Source it first; it reads the program path from the script's $1.
# shellcheck shell=bash
program=${1:?usage: $0 PATH_TO_DOLMIK}
work=$(mktemp -d /tmp/dolmik-e2e-XXXXXX)
xvfb_pid=""
app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# check NAME EXPECTED_FILE ACTUAL_FILE: whole-file comparison with a diff.
check() {
  if diff -u "$2" "$3" >"$work/diff.txt"; then
    echo "ok: $1"
  else
    fail "$1"
    cat "$work/diff.txt"
  fi
}
# poll SECONDS COMMAND...: runs the command every 0.1 s until it succeeds.
# settle: a pause for what can't be polled from outside (a menu opening, a
# page redrawn); generous, so that a loaded machine or a sanitizer build
# keeps up.
settle() { sleep 1; }
poll() {
  local limit=$(($1 * 10))
  shift
  for ((i = 0; i < limit; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}
visible() { xdotool search --onlyvisible --name "$1"; }
window_of() { xdotool search --onlyvisible --name "$1" | head -1; }
# paste_text TEXT: replaces the text of the focused box with TEXT through the
# clipboard: xdotool drops typed characters under load (a sanitizer build).
paste_text() {
  printf '%s' "$1" | xclip -selection clipboard
  poll 5 bash -c "[ \"\$(xclip -o -selection clipboard)\" = '$1' ]" || fail "clipboard"
  xdotool key ctrl+a ctrl+v
}
# type_path TITLE PATH: puts a full path into Qt's file dialog and accepts it.
type_path() {
  poll 10 visible "$1" || { fail "no dialog $1"; return 1; }
  xdotool windowfocus --sync "$(window_of "$1")" 2>/dev/null
  paste_text "$2"
  xdotool key Return
  poll 10 test -s "$2" || fail "nothing saved to $2"
  poll 10 bash -c "! xdotool search --onlyvisible --name '$1'" || fail "dialog $1 stays open"
}
# wait_for_main: called right after the program was started in the
# background: takes its pid, waits for its main window and sets main to it
# (exits with the program's stderr when the window does not appear).
wait_for_main() {
  app_pid=$!
  poll 20 visible '^Dolmik$' || {
    echo "FAIL: the main window did not appear; the program's stderr:"
    cat "$work/stderr.txt"
    exit 1
  }
  main=$(window_of '^Dolmik$')
}
focus_main() { xdotool windowfocus --sync "$main" 2>/dev/null; }

# search_hits TEXT REGEX ICASE LOG: a continuous search for TEXT from the top
# of the file through the search dialog, with 正規表現検索 and 大文字・小文字を
# 区別しない set to REGEX and ICASE (0/1); the result window is saved to LOG
# (its name typed: ASCII) and cleared after. Prints the line numbers of the
# hits. Japanese text is pasted, so that no input method is needed.
search_continuous=0 search_regex=0 search_icase=0
search_hits() {
  focus_main
  xdotool key alt+s
  settle
  xdotool key t  # ファイル先頭へ移動(&T): the search starts on line 1
  focus_main
  xdotool key ctrl+f
  poll 10 visible '^検索$' || fail "Ctrl+F did not show the search dialog"
  local dialog
  dialog=$(window_of '^検索$')
  if [ "$search_continuous" != 1 ]; then
    xdotool mousemove --window "$dialog" 42 80 click 1  # 連続検索
    search_continuous=1
  fi
  if [ "$2" != "$search_regex" ]; then
    xdotool mousemove --window "$dialog" 42 99 click 1  # 正規表現検索
    search_regex=$2
  fi
  if [ "$3" != "$search_icase" ]; then
    xdotool mousemove --window "$dialog" 42 64 click 1  # 大文字・小文字を区別しない
    search_icase=$3
  fi
  xdotool windowfocus --sync "$dialog" 2>/dev/null
  xdotool mousemove --window "$dialog" 180 18 click 1  # the search text
  xdotool key ctrl+a BackSpace
  if [[ "$1" =~ ^[A-Za-z]+$ ]]; then
    xdotool type --delay 5 "$1"
  else
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
  type_path '検索ログ保存' "$4" >&2
  settle
  xdotool mousemove --window "$results" 644 172 click 1  # クリアー
  # The hits of the last search in the saved log.
  iconv -f CP932 -t UTF-8 "$4" | tr -d '\r' |
    awk -F' : ' '/連続検索開始/ { n = 0 } /^ +[0-9]+ : / { hit[++n] = $2 + 0 }
                 END { for (i = 1; i <= n; i++) print hit[i] }'
}

# ---------------------------------------------------------------- screenshots
shot() { import -window root "$work/$1.png"; [ -n "${SHOTS:-}" ] && cp "$work/$1.png" "$SHOTS/"; }
# dark_rows SHOT X Y0 Y1: the y of each dark pixel in column X, Y0 <= y < Y1.
dark_rows() {
  convert "$work/$1.png" -crop "1x$(($4 - $3))+$2+$3" +repage -colorspace gray -threshold 50% txt:- |
    awk -F'[,:]' -v y0="$3" '/#000000/ { print $2 + y0 }'
}
# outside X Y W H: passes the y values of stdin that lie outside rows Y..Y+H
# (the rectangle spans the whole strip in x when X..X+W holds it).
outside() { awk -v y="$2" -v h="$4" '$1 < y || $1 >= y + h'; }
# first_run: "first last" of the first run of at least 8 consecutive values.
first_run() {
  awk 'NR > 1 && $1 == last + 1 { n++; last = $1; next }
       n >= 8 { print first, last; found = 1; exit }
       { first = $1; last = $1; n = 1 }
       END { if (!found && n >= 8) print first, last }'
}
# window_rect WINDOW: "x y w h" of the window on the screen.
window_rect() {
  xdotool getwindowgeometry --shell "$1" | awk -F= '/^X=/ { x = $2 } /^Y=/ { y = $2 }
    /^WIDTH=/ { w = $2 } /^HEIGHT=/ { h = $2 } END { print x, y, w, h }'
}
# ink SHOT X Y W H: succeeds when the region holds a dark pixel.
ink() {
  local min
  min=$(convert "$work/$1.png" -crop "$4x$5+$2+$3" +repage -colorspace gray -format '%[fx:minima]' info:)
  awk -v m="$min" 'BEGIN { exit !(m < 0.5) }'
}
# inverted_columns SHOT X Y W H: the x of each 4-pixel column of the region
# that is mostly dark (inverted cells; the strokes of text are not).
inverted_columns() {
  convert "$work/$1.png" -crop "$4x$5+$2+$3" +repage -colorspace gray -threshold 50% \
    -scale "$(($4 / 4))x1!" -threshold 50% txt:- |
    awk -F'[,:]' -v x0="$2" '/#000000/ { print $1 * 4 + x0 }'
}
# same_region A B X Y W H: succeeds when both shots agree on every pixel.
same_region() {
  local diff
  convert "$work/$1.png" -crop "$5x$6+$3+$4" +repage "$work/a-crop.png"
  convert "$work/$2.png" -crop "$5x$6+$3+$4" +repage "$work/b-crop.png"
  diff=$(compare -metric AE "$work/a-crop.png" "$work/b-crop.png" null: 2>&1)
  [ "$diff" = 0 ]
}

# ---------------------------------------------------------------- the page
# Screen places of the main window at (0, 0), at 1024 x 768 on this screen.
page_top=186 # row 0 of the page image
row=12.6     # row height of the 9-point page font
last_row_y=710  # inside the last row in sight (the frame clips the page at 712)
row_y() { awk -v r="$1" -v t="$page_top" -v h="$row" 'BEGIN { printf "%d", t + r * h + h / 2 }'; }
tab_x() { echo $((33 + 74 * $1)); }  # the tab of slot N
tab_y=167
# drag_rows Y0 Y1: a left-button drag on the page from y Y0 to y Y1.
drag_rows() {
  xdotool mousemove --window "$main" 150 "$1" mousedown 1
  xdotool mousemove --window "$main" 160 $(((${1} + ${2}) / 2))
  xdotool mousemove --window "$main" 170 "$2" mouseup 1
}
# copy_page EXPECTED_LAST_LINE: コピー from the page's context menu (Open,
# Close, Copy) into clipboard.txt, waiting for the expected last line.
copy_page() {
  context_copy 170 600
  poll 10 bash -c "xclip -o -selection clipboard | tail -n 1 | grep -qx '$1'" || true
  xclip -o -selection clipboard >"$work/clipboard.txt" 2>/dev/null
}
# copy_rows N EXPECTED_LAST: rows 0..N-1 of the page, copied as whole
# lines, into rows.txt (LF line ends).
copy_rows() {
  focus_main
  drag_rows "$(row_y 0)" "$(row_y $(($1 - 1)))"
  copy_page "$2"
  tr -d '\r' <"$work/clipboard.txt" >"$work/rows.txt"
}
# filter_include TEXT: Ctrl+L in the main window, TEXT (ASCII, typed) and
# Return: the tab shows the lines holding TEXT.
filter_include() {
  focus_main
  xdotool key ctrl+l
  poll 10 visible '^フィルタ$' || fail "no filter dialog"
  settle
  xdotool type --delay 5 "$1"
  xdotool key Return
  settle
}
# save_log: ファイル > ログ保存 into exec.txt (UTF-8, LF line ends). The log is
# saved as Shift-JIS, or as UTF-8 with a last line that says so.
save_log() {
  focus_main
  rm -f "$work/exec.log"
  xdotool key alt+f
  settle
  xdotool key s # ログ保存(&S)
  type_path '実行ログ保存' "$work/exec.log"
  if tail -n 1 "$work/exec.log" | grep -q '^# 実行ログを UTF-8 で保存します'; then
    tr -d '\r' <"$work/exec.log" >"$work/exec.txt"
  else
    iconv -f CP932 -t UTF-8 "$work/exec.log" | tr -d '\r' >"$work/exec.txt"
  fi
}
# logged LINE: the saved log holds the whole line.
logged() { grep -qxF -- "$1" "$work/exec.txt"; }

# start_display: starts Xvfb on a free display and exports DISPLAY and the
# platform variables the program needs.
start_display() {
  # Xvfb picks a free display itself and writes its number once it listens;
  # guessing a number from lock files races with other servers. -noreset: by
  # default the server resets when its last client leaves (the readiness probe
  # below), and a client that connects during the reset is turned away.
  Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp -noreset 5>"$work/display" >/dev/null 2>&1 &
  xvfb_pid=$!
  poll 10 test -s "$work/display" || { echo "FAIL: Xvfb did not start"; exit 1; }
  display=":$(head -n 1 "$work/display")"
  export DISPLAY=$display
  poll 10 xdotool getdisplaygeometry || { echo "FAIL: Xvfb did not start"; exit 1; }
  export QT_QPA_PLATFORM=xcb
  export LC_ALL=C.UTF-8
  export XDG_RUNTIME_DIR=$work
}

# quit_app: ends the program with ファイル → 終了 and waits for it; its exit
# status is left in app_status.
quit_app() {
  focus_main
  xdotool key alt+f
  settle
  xdotool key x  # 終了(&X)
  if poll 15 bash -c "! kill -0 $app_pid"; then
    wait "$app_pid"
    app_status=$?
    app_pid=""
  else
    fail "the program did not end after 終了"
    kill "$app_pid" 2>/dev/null
    app_pid=""
  fi
}
# end_app NAME: 終了, a zero exit status, no sanitizer report, the verdict.
end_app() {
  app_status=0
  quit_app
  [ "$app_status" = 0 ] || fail "exit code $app_status after 終了"
  sanitizer_check
  finish "$1"
}

# sanitizer_check: fails on any sanitizer report in the program's stderr.
sanitizer_check() {
  if grep -E 'ERROR: AddressSanitizer|runtime error:' "$work/stderr.txt"; then
    fail "sanitizer report"
  fi
}
# finish NAME: prints the program's stderr on failure and exits with the
# script's verdict.
finish() {
  if ((failures)); then
    echo "stderr of the program:"
    cat "$work/stderr.txt"
    echo "e2e $1: $failures failure(s)"
    exit 1
  fi
  echo "e2e $1: all checks passed"
}

# japanese_lines FILE: 1000 lines of Japanese UTF-8 text with TABs and
# half-width kana, CR LF line ends; every 250th line holds the search word
# 検索語.
japanese_lines() {
  local n mark
  for ((n = 1; n <= 1000; n++)); do
    mark=""
    ((n % 250 == 0)) && mark="検索語"
    printf '%05d 日本語の行です\tｶﾀｶﾅ 表示テスト%s\r\n' "$n" "$mark"
  done >"$1"
}

# run_session FILE NAME: opens FILE alone, searches 検索語, turns on the range
# selection, drags a block over the first three rows and copies it; leaves
# the clipboard in $work/NAME-clip.txt and the saved execution log (UTF-8)
# in $work/NAME-log.txt.
run_session() {
  local file=$1 name=$2
  "$program" "$file" >"$work/stdout.txt" 2>>"$work/stderr.txt" &
  app_pid=$!
  poll 20 visible '^Dolmik$' || {
    fail "$name: the main window did not appear"
    return 1
  }
  main=$(window_of '^Dolmik$')
  focus_main
  settle

  # The search word goes in through the clipboard: typing it would need an
  # input method.
  paste_search '検索語'
  xdotool mousemove --window "$search" 360 52 click 1  # 閉じる
  settle

  # Line 250 is now the top row. Range selection on, then a drag from the
  # first row to the third, over a few columns in the middle of the text.
  focus_main
  xdotool key ctrl+w
  settle
  xdotool mousemove --window "$main" 150 196 mousedown 1
  xdotool mousemove --window "$main" 180 209
  xdotool mousemove --window "$main" 215 222 mouseup 1
  context_copy 215 222
  poll 10 bash -c "xclip -o -selection clipboard | grep -qv 検索語"
  xclip -o -selection clipboard >"$work/$name-clip.txt" 2>/dev/null

  save_exec_log "$work/$name-exec.log"
  iconv -f CP932 -t UTF-8 "$work/$name-exec.log" | tr -d '\r' >"$work/$name-log.txt"
  quit_app
}

# save_exec_log PATH: ファイル → ログ保存 in the main window, saved to PATH.
save_exec_log() {
  focus_main
  xdotool key alt+f
  settle
  xdotool key s # ログ保存(&S)
  type_path '実行ログ保存' "$1"
}
# paste_search TEXT: searches TEXT from the search dialog, typed through the
# clipboard (xdotool drops characters outside ASCII); leaves $search set.
paste_search() {
  printf '%s' "$1" | xclip -selection clipboard
  open_search
  xdotool key ctrl+a ctrl+v
  xdotool mousemove --window "$search" 360 20 click 1 # 検索
  settle
}
# open_search: Ctrl+F in the main window; leaves $search set to the search
# dialog, focused, with the focus in its text.
open_search() {
  focus_main
  xdotool key ctrl+f
  poll 10 visible '^検索$' || fail "Ctrl+F did not show the search dialog"
  search=$(window_of '^検索$')
  xdotool windowfocus --sync "$search" 2>/dev/null
}
# continuous_search TEXT: a continuous search for TEXT (ASCII, typed), waiting
# for the result window; leaves $search and $results set.
continuous_search() {
  open_search
  xdotool mousemove --window "$search" 180 18 click 1 key ctrl+a  # the search text
  xdotool type --delay 5 "$1"
  xdotool mousemove --window "$search" 40 80 click 1   # 連続検索
  xdotool mousemove --window "$search" 360 20 click 1  # 検索
  poll 120 visible '^検索結果$' || fail "no search result window"
  results=$(window_of '^検索結果$')
}
# context_copy X Y: コピー from the page's context menu (Open, Close, Copy),
# opened at X, Y in the main window.
context_copy() {
  xdotool mousemove --window "$main" "$1" "$2" click 3
  settle
  xdotool key Down Down Down Return
}
# jump_to LINE: 検索 → 指定行へ移動 to LINE, then the dialog's 閉じる.
jump_to() {
  focus_main
  xdotool key alt+s
  settle
  xdotool key j
  poll 10 visible '^指定行へ移動$' || fail "no jump dialog"
  local jump
  jump=$(window_of '^指定行へ移動$')
  xdotool windowfocus --sync "$jump" 2>/dev/null
  xdotool mousemove --window "$jump" 100 24 click 1 key ctrl+a
  xdotool type --delay 5 "$1"
  xdotool mousemove --window "$jump" 200 24 click 1 # 移動
  settle
  xdotool mousemove --window "$jump" 200 60 click 1 # 閉じる
}
# open_path PATH: ファイル → 開く (Ctrl+O) with PATH typed into the dialog.
open_path() {
  focus_main
  xdotool key ctrl+o
  poll 10 visible '^開く$' || fail "Ctrl+O did not show the open dialog"
  xdotool windowfocus --sync "$(window_of '^開く$')" 2>/dev/null
  paste_text "$1"
  xdotool key Return
  poll 10 bash -c "! xdotool search --onlyvisible --name '^開く$'" || fail "the open dialog stays"
}
