# A private X display with a window manager, for the desktop check and the screenshots.
# Source it, then call x_session_begin.

# Makes the folder `tmp` and the list `pids` (processes to end) that the functions below and the
# caller use; when the shell exits, every process in `pids` is ended and the folder removed.
x_session_begin() {
  tmp=$(mktemp -d)
  pids=()
  trap x_session_end EXIT
}
x_session_end() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$tmp"
}

# Starts Xvfb and openbox and exports DISPLAY. Returns 1, with the reason in x_error, when no
# display can be had.
x_start() {
  local tool
  for tool in Xvfb openbox xdotool xprop; do
    if ! command -v "$tool" >/dev/null; then
      x_error="$tool is not installed (scripts/install-deps installs it)"
      return 1
    fi
  done
  # Xvfb names the display on a pipe once it is ready.
  mkfifo "$tmp/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -br -nolisten tcp 3>"$tmp/display" \
    2>"$tmp/xvfb.log" &
  pids+=($!)
  local display
  display=$(timeout 30 head -n 1 "$tmp/display" || true)
  if [ -z "$display" ]; then
    x_error="Xvfb could not start a display: $(tail -n 3 "$tmp/xvfb.log")"
    return 1
  fi
  export DISPLAY=":$display"
  unset WAYLAND_DISPLAY XDG_CURRENT_DESKTOP

  # The window manager is ready once it has published its list of managed windows on the
  # root window (the root's properties are watched whole: a single one cannot be watched before
  # its name exists on the display).
  local line ready=""
  exec 4< <(exec timeout 60 xprop -root -spy 2>/dev/null)
  openbox --sm-disable >"$tmp/openbox.log" 2>&1 &
  pids+=($!)
  while IFS= read -r -t 60 -u 4 line; do
    if [[ $line == "_NET_CLIENT_LIST(WINDOW)"* ]]; then
      ready=yes
      break
    fi
  done
  exec 4<&-
  if [ -z "$ready" ]; then
    x_error="the window manager did not start"
    return 1
  fi
}

# Call before starting a program: from now on, every window the manager activates is noted.
x_watch_active() {
  exec 4< <(exec timeout 120 xprop -root -spy _NET_ACTIVE_WINDOW 2>/dev/null)
}

# Waits (30 s at most) for a window titled $1 to be activated; prints its id.
x_wait_active() {
  local line id
  while IFS= read -r -t 60 -u 4 line; do
    [[ $line == "_NET_ACTIVE_WINDOW(WINDOW)"* ]] || continue
    id=${line##* }
    [[ $id == 0x* ]] || continue
    if xprop -id "$id" WM_NAME 2>/dev/null | grep -qF "= \"$1\""; then
      exec 4<&-
      echo "$id"
      return 0
    fi
  done
  exec 4<&-
  return 1
}
