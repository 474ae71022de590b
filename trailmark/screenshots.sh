#!/usr/bin/env bash
# Makes the screenshots in docs/ from the built program on a private X display with a window
# manager: the main window, the about box, the Search menu, and a directory
# update in progress (against a local server that sends part of the file and then waits).
#
# Usage: trailmark/screenshots.sh [BUILD_DIR]
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
build=$(cd "${1:-$here/../build}" && pwd)
docs="$here/../docs"
source "$here/x_session.sh"

x_session_begin
x_start || { echo "screenshots: $x_error" >&2; exit 1; }

# The pictures are taken once the window has drawn what the last key asked for.
shot() {
  sleep 1
  "$build/tests/trailmark_screen_grab" "$docs/$1"
  echo "wrote docs/$1"
}

# A directory host that sends the header and 40% of the file, then waits.
exec 5< <(exec "$build/tests/trailmark_slow_server" 40000 100000)
read -r -u 5 word port

mkdir -p "$docs" "$tmp/home/run"
chmod 700 "$tmp/home/run"
x_watch_active
env HOME="$tmp/home" XDG_DATA_HOME="$tmp/home/data" XDG_RUNTIME_DIR="$tmp/home/run" \
  WINPORT_PREFIX="$tmp/home/prefix" QT_QPA_PLATFORM=xcb \
  TRAILMARK_DIRECTORY_URL="http://127.0.0.1:$port/trailmark/websites.txt" \
  "$build/bin/trailmark" >"$tmp/trailmark.log" 2>&1 4<&- 5<&- &
pids+=($!)
main=$(x_wait_active Trailmark)

# The about box shown at start is put away, then opened again over the main window.
about=$(xdotool search --name '^About Trailmark$' | head -n 1)
xdotool windowactivate --sync "$about" key Escape
xdotool windowactivate --sync "$main"
xdotool type --delay 20 "example.org"
shot trailmark-main.png

xdotool key alt+h Return
shot trailmark-about.png
about=$(xdotool search --name '^About Trailmark$' | head -n 1)
xdotool windowactivate --sync "$about" key Escape
xdotool windowactivate --sync "$main"

xdotool key alt+s
shot trailmark-menu.png
# Down to Update Directory, the fourth entry.
xdotool key Down Down Down Return
read -r -u 5 line
shot trailmark-update.png
