#!/bin/sh
# Idle CPU and resident memory of vitalis-host over a window (default 60 s), in a private
# prefix with default settings. Usage: idle_host.sh [BUILD_DIR] [SECONDS]
set -eu
build=${1:-build}
seconds=${2:-60}
prefix=$(mktemp -d /tmp/vitalis-idle-XXXXXX)
trap 'kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$prefix"' EXIT
export WINPORT_PREFIX="$prefix"
"$build/bin/vitalis-host" >"$prefix/host.out" 2>&1 &
pid=$!
sleep 3  # let start-up finish
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
sleep "$seconds"
after=$(ticks)
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")
hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status")
echo "host: $(cat "$prefix/host.out")"
awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" \
  'BEGIN { printf "idle CPU: %.3f%% of one core over %d s (%d ticks)\n", 100 * t / hz / s, s, t }'
echo "resident: ${rss} KiB (peak ${hwm} KiB)"
