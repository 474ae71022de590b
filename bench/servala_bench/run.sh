#!/usr/bin/env bash
# Throughput of servala against nginx and lighttpd (one worker each) on the same 4 KiB file and
# the same small SSI page: wrk, 8 connections, "Connection: close", loopback only.
#   bench/servala_bench/run.sh [DURATION_SECONDS]     (default 5, per server and round)
# SERVALA=path/to/servala overrides the binary (default build/bin/servala).
# ROUNDS=N (default 5) measures every server N times, taking turns in a rotating order, and
# reports the medians: this machine's speed drifts over tens of seconds, and short turns in a
# changing order spread the drift over all servers alike.
# PIN=1 runs the servers on the first CPU and wrk on the second. Left to the scheduler (the
# default) client and server share the cores, so a server that needs less CPU per request
# leaves more to wrk and serves more; pinned, one wrk thread is usually the bottleneck.
# CPU_SHARE=N (percent of one core, e.g. 50) measures what each server serves from the same
# share of a core: every server, with its worker processes, runs in a control group of its own
# whose CPU quota is N% of one core (cgroup v1 cpu.cfs_quota_us, or v2 cpu.max), removed on exit.
# There the servers, not wrk, are the bottleneck, and requests/s shows what each costs. It needs
# root (or a delegated cgroup) and the cpu controller; without them it says so and stops. The
# default (no CPU_SHARE) leaves the servers unconfined: one wrk thread costs more per request than
# any of them, so requests/s there mostly measures wrk.
set -euo pipefail
cd "$(dirname "$0")/../.."
DURATION=${1:-5}
SERVALA=${SERVALA:-build/bin/servala}
ROUNDS=${ROUNDS:-5}
SERVER_CPU=() CLIENT_CPU=()
if [ "${PIN:-0}" = 1 ] && command -v taskset >/dev/null && [ "$(nproc)" -ge 2 ]; then
  SERVER_CPU=(taskset -c 0) CLIENT_CPU=(taskset -c 1)
fi

need=()
command -v wrk >/dev/null || need+=(wrk)
command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || need+=(nginx)
command -v lighttpd >/dev/null || [ -x /usr/sbin/lighttpd ] || need+=(lighttpd)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get install -y "${need[@]}" >/dev/null
fi
NGINX=$(command -v nginx || echo /usr/sbin/nginx)
LIGHTTPD=$(command -v lighttpd || echo /usr/sbin/lighttpd)
[ -x "$SERVALA" ] || { echo "no $SERVALA: build first (make build)" >&2; exit 1; }

# Where the CPU_SHARE groups go: the v1 cpu hierarchy, else a v2 one with the cpu controller.
CPU_SHARE=${CPU_SHARE:-}
CGROUP_KIND= CGROUP_BASE=
if [ -n "$CPU_SHARE" ]; then
  if ! [[ "$CPU_SHARE" =~ ^[0-9]+$ ]] || [ "$CPU_SHARE" -lt 1 ] || [ "$CPU_SHARE" -gt 100 ]; then
    echo "CPU_SHARE must be a percentage of one core, 1 to 100" >&2; exit 1
  fi
  if [ -w /sys/fs/cgroup/cpu/cgroup.procs ] && [ -e /sys/fs/cgroup/cpu/cpu.cfs_quota_us ]; then
    CGROUP_KIND=v1 CGROUP_BASE=/sys/fs/cgroup/cpu
  elif [ -e /sys/fs/cgroup/cgroup.controllers ] && grep -qw cpu /sys/fs/cgroup/cgroup.controllers; then
    # The groups go below the root, or else below our own group; the cpu controller must be
    # enabled for the children of the one chosen.
    own=/sys/fs/cgroup$(awk -F: '$1 == "0" {print $3}' /proc/self/cgroup)
    for base in /sys/fs/cgroup "${own%/}"; do
      if { grep -qw cpu "$base/cgroup.subtree_control" 2>/dev/null ||
        echo +cpu 2>/dev/null > "$base/cgroup.subtree_control"; } &&
        [ -w "$base/cgroup.procs" ]; then
        CGROUP_KIND=v2 CGROUP_BASE=$base
        break
      fi
    done
  fi
  if [ -z "$CGROUP_KIND" ] || ! mkdir "$CGROUP_BASE/servala_bench.$$.probe" 2>/dev/null; then
    echo "CPU_SHARE needs a cgroup with the cpu controller that this user may create groups in" \
      "(cgroup v1 /sys/fs/cgroup/cpu, or v2 with cpu enabled); none here: not measured" >&2
    exit 1
  fi
  rmdir "$CGROUP_BASE/servala_bench.$$.probe"
fi

TMP=$(mktemp -d /tmp/servala_bench.XXXXXX)
PIDS=() GROUPS_MADE=()
declare -A GROUP_OF
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  local g
  for g in "${GROUPS_MADE[@]}"; do
    # A group can go once its processes have; they may take a moment to be reaped.
    for _ in $(seq 50); do rmdir "$g" 2>/dev/null && break; sleep 0.1; done
  done
  rm -rf "$TMP"
}
trap cleanup EXIT

# start NAME COMMAND...: starts COMMAND in the background, its process id in STARTED. With
# CPU_SHARE it starts in a CPU group of its own (the shell that moves into the group becomes
# COMMAND), and processes it starts stay in that group.
start() {
  local name=$1
  shift
  if [ -z "$CGROUP_KIND" ]; then
    "$@" &
    STARTED=$!
    return
  fi
  local g=$CGROUP_BASE/servala_bench.$$.$name quota=$((CPU_SHARE * 1000))
  mkdir "$g"
  GROUPS_MADE+=("$g")
  GROUP_OF[$name]=$g
  if [ "$CGROUP_KIND" = v1 ]; then
    echo 100000 > "$g/cpu.cfs_period_us"
    echo "$quota" > "$g/cpu.cfs_quota_us"
  else
    echo "$quota 100000" > "$g/cpu.max"
  fi
  sh -c 'echo $$ > "$1/cgroup.procs" && shift && exec "$@"' sh "$g" "$@" &
  STARTED=$!
}

chmod 755 "$TMP"   # the web servers may read as another user
SITE=$TMP/site
mkdir -p "$SITE"
# Cut in the shell: a pipe into `head` would end base64 with SIGPIPE now and then, which pipefail
# turns into a silent exit of the whole script.
PAGE=$(head -c 4096 /dev/urandom | base64 -w 76)
printf '%s' "${PAGE:0:4096}" > "$SITE/file4k.txt"
cat > "$SITE/inc.html" <<'HTML'
<p>included text</p>
HTML
cat > "$SITE/ssi.html" <<'HTML'
<html><head><title>SSI</title></head><body>
<!--#include virtual="/inc.html" -->
<p>Now: <!--#echo var="DATE_GMT" --></p>
</body></html>
HTML

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "server on port $1 did not come up" >&2; return 1
}

# --- nginx
NPORT=$(free_port)
mkdir -p "$TMP/nginx"
cat > "$TMP/nginx/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $TMP/nginx/nginx.pid;
error_log $TMP/nginx/error.log;
events { worker_connections 1024; }
http {
  include /etc/nginx/mime.types;
  access_log off;
  client_body_temp_path $TMP/nginx/body;
  proxy_temp_path $TMP/nginx/proxy;
  fastcgi_temp_path $TMP/nginx/fastcgi;
  uwsgi_temp_path $TMP/nginx/uwsgi;
  scgi_temp_path $TMP/nginx/scgi;
  server {
    listen 127.0.0.1:$NPORT;
    root $SITE;
    ssi on;
  }
}
CONF
start nginx "${SERVER_CPU[@]}" "$NGINX" -c "$TMP/nginx/nginx.conf" -p "$TMP/nginx" 2>/dev/null
NGINX_PID=$STARTED
PIDS+=($NGINX_PID)

# --- lighttpd
LPORT=$(free_port)
cat > "$TMP/lighttpd.conf" <<CONF
server.document-root = "$SITE"
server.port = $LPORT
server.bind = "127.0.0.1"
server.max-worker = 0
server.errorlog = "$TMP/lighttpd.error.log"
server.modules += ( "mod_ssi" )
ssi.extension = ( ".html" )
mimetype.assign = ( ".html" => "text/html", ".txt" => "text/plain" )
CONF
start lighttpd "${SERVER_CPU[@]}" "$LIGHTTPD" -D -f "$TMP/lighttpd.conf"
LIGHTTPD_PID=$STARTED
PIDS+=($LIGHTTPD_PID)

# --- servala
SPORT=$(free_port)
start servala "${SERVER_CPU[@]}" "$SERVALA" --port "$SPORT" --root "$SITE" --ssi > "$TMP/servala.out"
SPID=$STARTED
PIDS+=($SPID)

wait_port "$NPORT"; wait_port "$LPORT"; wait_port "$SPORT"

# CPU time (clock ticks) used so far by a server: the process and its children (the workers).
cpu_ticks() {
  local total=0 p
  for p in "$1" $(pgrep -P "$1" || true); do
    [ -r "/proc/$p/stat" ] || continue
    total=$((total + $(awk '{sub(/^.*\) /, ""); print $12 + $13}' "/proc/$p/stat")))
  done
  echo "$total"
}
HZ=$(getconf CLK_TCK)

# Requests/s, p99 latency (ms), the server's CPU microseconds per request, and how busy wrk's
# one thread was (percent of the run) of one wrk run. On a machine where the client and the
# server share few cores, CPU per request is the steadier figure: requests/s moves with whatever
# else the machine is doing. A wrk near 100% busy was the bottleneck, not the server.
measure() {
  local out rps p99 before after requests busy
  before=$(cpu_ticks "$2")
  # `times` ends the output with the CPU time of the subshell's children, that is, of wrk.
  out=$("${CLIENT_CPU[@]}" wrk -t1 -c8 -d"${DURATION}s" --latency -H "Connection: close" "$1"
    times)
  after=$(cpu_ticks "$2")
  busy=$(tail -n 1 <<<"$out" | awk -v d="$DURATION" '{
    t = 0
    for (i = 1; i <= 2; i++) { split($i, p, "m"); sub(/s$/, "", p[2]); t += p[1] * 60 + p[2] }
    printf "%.0f", t * 100 / d }')
  rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
  requests=$(awk '/requests in/ {print $1}' <<<"$out")
  p99=$(awk '$1 == "99%" {v=$2; if (v ~ /us$/) {sub(/us$/,"",v); v/=1000} else if (v ~ /ms$/) {sub(/ms$/,"",v)} else if (v ~ /s$/) {sub(/s$/,"",v); v*=1000}; printf "%.2f", v}' <<<"$out")
  cpu=$(awk -v t=$((after - before)) -v hz="$HZ" -v n="$requests" 'BEGIN {printf "%.1f", t * 1e6 / hz / n}')
  errs=$(awk '/Socket errors|Non-2xx/ {print}' <<<"$out" | tr '\n' ' ')
  echo "$rps $p99 $cpu $busy ${errs:-}"
}

# Every server must send the page whole and with its include done.
check_page() {
  local body
  body=$(curl -s "http://127.0.0.1:$1/ssi.html")
  grep -q "included text" <<<"$body" && grep -q "GMT" <<<"$body" ||
    { echo "port $1 sent a wrong SSI page:" >&2; echo "$body" >&2; exit 1; }
}

median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

declare -A RPS P99 CPU BUSY
for page in file4k.txt ssi.html; do
  order=(nginx lighttpd servala)
  for round in $(seq "$ROUNDS"); do
    for srv in "${order[@]}"; do
      case $srv in
        nginx) port=$NPORT pid=$NGINX_PID ;;
        lighttpd) port=$LPORT pid=$LIGHTTPD_PID ;;
        servala) port=$SPORT pid=$SPID ;;
      esac
      read -r rps p99 cpu busy errs < <(measure "http://127.0.0.1:$port/$page" "$pid")
      RPS[$srv,$page]+="$rps "
      P99[$srv,$page]+="$p99 "
      CPU[$srv,$page]+="$cpu "
      BUSY[$srv,$page]+="$busy "
      [ -n "${errs:-}" ] && echo "  ($srv $page round $round: $errs)" >&2
    done
    order=("${order[@]:1}" "${order[0]}")
  done
  for srv in nginx lighttpd servala; do
    [ "$ROUNDS" -gt 1 ] && echo "  $srv $page requests/s by round: ${RPS[$srv,$page]}" >&2
    RPS[$srv,$page]=$(median <<<"${RPS[$srv,$page]}")
    P99[$srv,$page]=$(median <<<"${P99[$srv,$page]}")
    CPU[$srv,$page]=$(median <<<"${CPU[$srv,$page]}")
    BUSY[$srv,$page]=$(median <<<"${BUSY[$srv,$page]}")
  done
done
for port in $NPORT $LPORT $SPORT; do check_page "$port"; done

RSS=$(awk '/^VmRSS/ {print $2}' /proc/$SPID/status)
HWM=$(awk '/^VmHWM/ {print $2}' /proc/$SPID/status)

echo
if [ -n "$CGROUP_KIND" ]; then
  echo "mode: server-bound, each server confined to ${CPU_SHARE}% of one core (cgroup $CGROUP_KIND)"
  # A server that never reached its share was not the bottleneck: its figures then measure wrk.
  for srv in nginx lighttpd servala; do
    awk -v s="$srv" '$1 == "nr_periods" {p = $2} $1 == "nr_throttled" {t = $2}
      END {printf "  %s held to its share in %d of %d periods of 100 ms\n", s, t, p}' \
      "${GROUP_OF[$srv]}/cpu.stat"
  done
else
  echo "mode: default, servers unconfined (wrk is usually the bottleneck)"
fi
printf '%-10s %-11s %12s %10s %14s %12s\n' server page "requests/s" "p99 ms" "CPU us/req" \
  "wrk busy %"
for page in file4k.txt ssi.html; do
  for srv in nginx lighttpd servala; do
    printf '%-10s %-11s %12.0f %10s %14s %12s\n' "$srv" "$page" "${RPS[$srv,$page]}" \
      "${P99[$srv,$page]}" "${CPU[$srv,$page]}" "${BUSY[$srv,$page]}"
  done
done
echo
for page in file4k.txt ssi.html; do
  awk -v a="${RPS[servala,$page]}" -v b="${RPS[nginx,$page]}" -v p="$page" \
    -v ca="${CPU[servala,$page]}" -v cb="${CPU[nginx,$page]}" \
    'BEGIN {printf "servala/nginx %-11s %.2fx requests/s, %.2fx CPU per request\n", p, a / b, ca / cb}'
done
echo "servala resident memory: ${RSS} KiB (peak ${HWM} KiB)"
