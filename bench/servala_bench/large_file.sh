#!/usr/bin/env bash
# servala serving a large file to one client while a second client keeps asking for a 4 KiB
# page: the page's latency (wrk, 1 connection, "Connection: close") and servala's resident
# memory, sampled throughout. Loopback only.
#   bench/servala_bench/large_file.sh [DURATION_SECONDS]   (default 10)
# SERVALA=path/to/servala overrides the binary (default build/bin/servala); SIZE (default 1G,
# as truncate takes it) is the large file's size. The large file is downloaded again and again
# at full speed for as long as the page is measured.
set -euo pipefail
cd "$(dirname "$0")/../.."
DURATION=${1:-10}
SERVALA=${SERVALA:-build/bin/servala}
SIZE=${SIZE:-1G}

if ! command -v wrk >/dev/null; then
  SUDO=; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get install -y wrk >/dev/null
fi
[ -x "$SERVALA" ] || { echo "no $SERVALA: build first (make build)" >&2; exit 1; }

TMP=$(mktemp -d /tmp/servala_large.XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$TMP"
}
trap cleanup EXIT

SITE=$TMP/site
mkdir -p "$SITE"
: > "$TMP/large.log"
# Cut in the shell: a pipe into `head` would end base64 with SIGPIPE now and then, which pipefail
# turns into a silent exit of the whole script.
PAGE=$(head -c 4096 /dev/urandom | base64 -w 76)
printf '%s' "${PAGE:0:4096}" > "$SITE/file4k.txt"
# A sparse file: its pages come from the page cache without touching the disk, so the disk is
# not what is measured.
truncate -s "$SIZE" "$SITE/large.bin"
BYTES=$(stat -c %s "$SITE/large.bin")

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$SERVALA" --port "$PORT" --bind 127.0.0.1 --root "$SITE" > "$TMP/servala.out" &
SPID=$!
PIDS+=($SPID)
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.1/"$PORT") 2>/dev/null && break
  sleep 0.1
done

# Resident memory, sampled every 50 ms until told to stop.
(
  max=0
  while [ ! -e "$TMP/stop" ]; do
    rss=$(awk '/^VmRSS/ {print $2}' "/proc/$SPID/status" 2>/dev/null || echo 0)
    [ "${rss:-0}" -gt "$max" ] && max=$rss
    sleep 0.05
  done
  echo "$max" > "$TMP/rss.max"
) &
PIDS+=($!)

# The large file, again and again.
(
  n=0
  while [ ! -e "$TMP/stop" ]; do
    got=$(curl -s -o /dev/null -w '%{size_download} %{time_total}' \
      "http://127.0.0.1:$PORT/large.bin" || true)
    echo "$got" >> "$TMP/large.log"
    n=$((n + 1))
  done
) &
PIDS+=($!)
sleep 0.5  # the first download under way

OUT=$(wrk -t1 -c1 -d"${DURATION}s" --latency -H "Connection: close" \
  "http://127.0.0.1:$PORT/file4k.txt")
touch "$TMP/stop"
sleep 0.3
HWM=$(awk '/^VmHWM/ {print $2}' "/proc/$SPID/status")
# The download in progress when the page measurement ended is left out of the figures.
kill "${PIDS[2]}" 2>/dev/null || true
wait "${PIDS[1]}" 2>/dev/null || true

echo "$OUT" | grep -E "Latency|Requests/sec|requests in|Socket errors|Non-2xx|  (50|90|99)%"
awk -v want="$BYTES" '
  $1 == want {n++; t += $2}
  $1 != want && NF == 2 {short++}
  END {
    if (n > 0) printf "large file: %d whole downloads of %d bytes, %.0f MB/s on average\n", n, want, n * want / t / 1e6
    else print "large file: no whole download finished"
    if (short > 0) printf "large file: %d downloads cut short\n", short
  }' "$TMP/large.log"
echo "servala resident memory: at most $(cat "$TMP/rss.max") KiB sampled, peak ${HWM} KiB"
