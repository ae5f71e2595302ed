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
# type_path TITLE PATH: types a full path into Qt's file dialog and accepts it.
type_path() {
  poll 10 visible "$1" || { fail "no dialog $1"; return 1; }
  xdotool windowfocus --sync "$(window_of "$1")" 2>/dev/null
  xdotool type --delay 5 "$2"
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
