#!/usr/bin/env bash
# The program as a user meets it, on a real X display with a window manager: installed with
# `cmake --install` (and, the second time, straight from the build tree), it starts with the
# keyboard in the address box, so a keyword typed right away reaches the opener; its user files
# go to the XDG data folder and none beside the program; while a directory update runs the
# window still takes keywords, and Alt+F4 ends it and the download.
#
# The opener's desktop end, xdg-open, is replaced by a script that reports what it was given.
# Exits 77 (skipped) when no display can be started here.
#
# Usage: desktop_check.sh BUILD_DIR [CMAKE]
set -euo pipefail
build=$(cd "$1" && pwd)
cmake=${2:-cmake}

here=$(dirname "$(readlink -f "$0")")
source "$here/x_session.sh"

x_session_begin
fail() {
  echo "FAILED: $*"
  for log in "$tmp"/*.log; do
    [ -s "$log" ] && { echo "--- $log"; tail -n 20 "$log"; }
  done
  exit 1
}

# Types keyword $1 and Enter; the opener must be handed $2. $3 starts the lines it prints.
open_keyword() {
  xdotool type --delay 20 "$1"
  xdotool key Return
  local opened
  opened=$(timeout 30 head -n 1 "$tmp/opened" || true)
  [ "$opened" = "$2" ] || fail "${3:-}typing $1 and Enter handed '$opened' to the opener"
  echo "${3:-}the opener was handed $opened"
}

if ! x_start; then
  echo "SKIPPED: $x_error"
  exit 77
fi
unset TRAILMARK_DIRECTORY_URL

"$cmake" --install "$build" --prefix "$tmp/install" >"$tmp/install.log" 2>&1 ||
  fail "cmake --install failed"

mkdir -p "$tmp/bin"
mkfifo "$tmp/opened"
cat >"$tmp/bin/xdg-open" <<SCRIPT
#!/bin/sh
printf '%s\n' "\$*" >"$tmp/opened"
SCRIPT
chmod +x "$tmp/bin/xdg-open"

run=0
for program in "$tmp/install/bin/trailmark" "$build/bin/trailmark"; do
  run=$((run + 1))
  echo "== $program"
  home="$tmp/home$run"
  mkdir -p "$home/run"
  chmod 700 "$home/run"
  touch "$home/started"

  # The directory host answers slowly: a download started from the menu stays running.
  exec 5< <(exec timeout 120 "$build/tests/trailmark_slow_server" 400 100000)
  read -r -t 30 -u 5 word port || fail "the slow directory host did not start"
  x_watch_active
  env TRAILMARK_DIRECTORY_URL="http://127.0.0.1:$port/trailmark/websites.txt" HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" \
    XDG_RUNTIME_DIR="$home/run" WINPORT_PREFIX="$home/prefix" PATH="$tmp/bin:$PATH" \
    QT_QPA_PLATFORM=xcb timeout 120 "$program" >"$tmp/trailmark$run.log" 2>&1 4<&- 5<&- &
  pid=$!
  pids+=($pid)
  # The main window (not the about box shown beside it at start) gets the keyboard.
  x_wait_active Trailmark >/dev/null || fail "the main window was never activated"

  # Typed at once: "example.org" holds letters of the window's single-key commands (a, g).
  open_keyword example.org http://www.example.org/

  for f in websites.dir memory.ctr; do
    [ -s "$home/data/trailmark/$f" ] || fail "$f is not in the user's data folder"
  done
  # (An older build copied them there; what counts is that this run wrote none.)
  written=$(find "$(dirname "$program")" -maxdepth 1 \( -name websites.dir -o -name memory.ctr \) \
    -newer "$home/started")
  [ -z "$written" ] || fail "user files were written beside the program: $written"

  # Search > Update Directory (the fourth entry). While the download runs the window takes
  # keywords as before, and Alt+F4 closes it, giving the download up.
  xdotool key alt+s Down Down Down Return
  read -r -t 30 -u 5 line && [ "$line" = request ] || fail "Update Directory asked nothing"
  open_keyword example http://www.example.com/ "during the download, "

  xdotool key alt+F4
  status=0
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || fail "the program ended with status $status after Alt+F4"
  read -r -t 30 -u 5 line && [ "$line" = closed ] || fail "the download was not given up"
  exec 5<&-
  cmp -s "$home/data/trailmark/websites.dir" "$(dirname "$program")/../share/trailmark/websites.dir" ||
    fail "the directory file changed"
done
echo "desktop check passed"
