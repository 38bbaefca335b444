#!/usr/bin/env bash
# Load test: our HTTP server against nginx (one worker, no keep-alive, `return 200`
# with a JSON body), one after the other, each under `wrk -t2 -c64` with
# `Connection: close`. For each it prints requests/s, p99 latency, the server's CPU
# time per connection and its system calls per connection (strace -c over at
# least 10,000 connections, in a run of its own since tracing slows the server),
# then the ratios and the load average before and after.
#   bench/wrk_http.sh [path/to/tavlo-http-testserver] [seconds]
#       the test server with a trivial handler (`make bench` builds it), on 127.0.0.1:28765
#   bench/wrk_http.sh --companion [path/to/tavlo-companion] [seconds]
#       the whole companion (--headless, private HOME) answering GET /health on
#       18765, inside tools/e2e-sandbox so the port and the model back ends are
#       its own (needs root for the namespaces)
# Take figures on a quiet machine (load under 0.3): both servers share its cores with wrk.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
companion=0
if [ "${1:-}" = --companion ]; then
  companion=1
  shift
  if [ "${TAVLO_IN_SANDBOX:-}" != 1 ]; then
    exec "$root/tools/e2e-sandbox" "$0" --companion "$@"
  fi
fi
if [ $companion = 1 ]; then
  server=${1:-$root/build/dev/bin/tavlo-companion}
  port_tavlo=18765
  path=/health
else
  server=${1:-$root/build/bench/bin/tavlo-http-testserver}
  port_tavlo=28765
  path=/
fi
duration=${2:-10}
port_nginx=28766
min_traced=10000
for tool in wrk nginx strace curl; do
  command -v "$tool" > /dev/null || { echo "wrk_http.sh: $tool is missing" >&2; exit 1; }
done
work=$(mktemp -d /tmp/tavlo-wrk.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cat > "$work/close.lua" <<'LUA'
wrk.headers["Connection"] = "close"
LUA

# utime + stime of a process (all its threads), in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# syscalls NAME PID PORT: system calls per accepted connection of PID while wrk
# runs against PORT, traced until at least $min_traced connections were accepted.
syscalls() {
  local name=$1 pid=$2 port=$3
  strace -c -f -p "$pid" -o "$work/$name.strace" 2> /dev/null &
  local tracer=$!
  sleep 0.5
  local served=0
  while [ "$served" -lt "$min_traced" ]; do
    wrk -t2 -c64 -d3s -s "$work/close.lua" "http://127.0.0.1:$port$path" > "$work/$name.traced"
    served=$((served + $(awk '/requests in/ {print $1}' "$work/$name.traced")))
  done
  sleep 0.3
  kill -TERM "$tracer" 2> /dev/null || true
  wait "$tracer" 2> /dev/null || true
  # Connections: successful accept/accept4 calls; system calls: the total line.
  awk '$NF == "accept4" || $NF == "accept" { errors = (NF == 6 ? $5 : 0); accepted += $4 - errors }
       $NF == "total" { calls = $4 }
       END { if (accepted > 0) printf "%.2f %d", calls / accepted, accepted; else print "? 0" }' "$work/$name.strace"
}

# run NAME PID PORT: prints "NAME rps p99_ms us_per_conn syscalls_per_conn traced_conns"
run() {
  local name=$1 pid=$2 port=$3
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port$path" && break
    sleep 0.05
  done
  local before after
  before=$(cpu_ticks "$pid")
  wrk -t2 -c64 -d"${duration}s" --latency -s "$work/close.lua" "http://127.0.0.1:$port$path" > "$work/$name.out"
  after=$(cpu_ticks "$pid")
  local requests rps p99
  requests=$(awk '/requests in/ {print $1}' "$work/$name.out")
  rps=$(awk '/^Requests\/sec/ {print $2}' "$work/$name.out")
  p99=$(awk '$1 == "99%" {v=$2; if (v ~ /us$/) {sub(/us/,"",v); v/=1000} else if (v ~ /ms$/) {sub(/ms/,"",v)} else if (v ~ /s$/) {sub(/s/,"",v); v*=1000}; print v}' "$work/$name.out")
  local ticks=$((after - before)) hz
  hz=$(getconf CLK_TCK)
  echo "$name $rps $p99 $(awk -v t="$ticks" -v hz="$hz" -v n="$requests" 'BEGIN {printf "%.1f", t / hz * 1e6 / n}') $(syscalls "$name" "$pid" "$port")"
}

if [ $companion = 1 ]; then
  home="$work/home"
  mkdir -p "$home"
  HOME="$home" XDG_STATE_HOME="$home/state" XDG_DATA_HOME="$home/data" TAVLO_STAGING="$home/packs" \
    PATH=/usr/local/bin:/usr/bin:/bin "$server" --headless > "$work/tavlo.log" 2>&1 &
else
  "$server" --port "$port_tavlo" --no-advertise > "$work/tavlo.log" 2>&1 &
fi
tavlo_pid=$!
pids+=("$tavlo_pid")

mkdir -p "$work/nginx"
cat > "$work/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_timeout 0;
  client_body_temp_path $work/nginx;
  proxy_temp_path $work/nginx;
  fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx;
  scgi_temp_path $work/nginx;
  server {
    listen 127.0.0.1:$port_nginx;
    location / {
      default_type "application/json; charset=utf-8";
      return 200 '{"ok":true,"status":"ready"}';
    }
  }
}
CONF
nginx -c "$work/nginx.conf" -p "$work" &
pids+=($!)
sleep 0.5
nginx_worker=$(pgrep -P "$(cat "$work/nginx.pid")" | head -1)

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
tavlo=$(run tavlo "$tavlo_pid" "$port_tavlo")
nginx=$(run nginx "$nginx_worker" "$port_nginx")
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

[ $companion = 1 ] && echo "tavlo: the companion answering GET /health" || echo "tavlo: the test server"
printf '%-6s %12s %10s %14s %16s %10s\n' server "requests/s" "p99 ms" "CPU us/conn" "syscalls/conn" "(traced)"
for line in "$tavlo" "$nginx"; do
  read -r n r p c s t <<< "$line"
  printf '%-6s %12s %10s %14s %16s %10s\n' "$n" "$r" "$p" "$c" "$s" "$t"
done
read -r _ tr tp tc ts _ <<< "$tavlo"
read -r _ nr np nc ns _ <<< "$nginx"
awk -v tr="$tr" -v nr="$nr" -v tp="$tp" -v np="$np" -v tc="$tc" -v nc="$nc" -v ts="$ts" -v ns="$ns" 'BEGIN {
  printf "tavlo/nginx: requests/s %.2f, p99 %.2f, CPU per connection %.2f, system calls per connection %.2f\n",
    tr / nr, tp / np, tc / nc, (ns > 0 ? ts / ns : 0) }'
echo "load average (1, 5, 15 min): before $load_before, after $load_after"
