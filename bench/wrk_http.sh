#!/usr/bin/env bash
# Load test: the companion's HTTP server (trivial handler) and nginx (one worker,
# no keep-alive, `return 200` with a JSON body), one after the other, each under
# `wrk -t2 -c64` with `Connection: close`. Prints requests/s, p99 latency and
# the server's CPU time per connection, then the ratios.
#   bench/wrk_http.sh [path/to/tavlo-http-testserver] [seconds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
server=${1:-$root/build/dev/bin/tavlo-http-testserver}
duration=${2:-10}
port_tavlo=28765
port_nginx=28766
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

# utime + stime of a process, in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# run NAME PID PORT: prints "NAME rps p99_ms us_per_conn"
run() {
  local name=$1 pid=$2 port=$3
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/" && break
    sleep 0.05
  done
  local before after
  before=$(cpu_ticks "$pid")
  wrk -t2 -c64 -d"${duration}s" --latency -s "$work/close.lua" "http://127.0.0.1:$port/" > "$work/$name.out"
  after=$(cpu_ticks "$pid")
  local requests rps p99
  requests=$(awk '/requests in/ {print $1}' "$work/$name.out")
  rps=$(awk '/^Requests\/sec/ {print $2}' "$work/$name.out")
  p99=$(awk '$1 == "99%" {v=$2; if (v ~ /us$/) {sub(/us/,"",v); v/=1000} else if (v ~ /ms$/) {sub(/ms/,"",v)} else if (v ~ /s$/) {sub(/s/,"",v); v*=1000}; print v}' "$work/$name.out")
  local ticks=$((after - before)) hz
  hz=$(getconf CLK_TCK)
  echo "$name $rps $p99 $(awk -v t="$ticks" -v hz="$hz" -v n="$requests" 'BEGIN {printf "%.1f", t / hz * 1e6 / n}')"
}

"$server" --port "$port_tavlo" --no-advertise > "$work/tavlo.log" 2>&1 &
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

tavlo=$(run tavlo "$tavlo_pid" "$port_tavlo")
nginx=$(run nginx "$nginx_worker" "$port_nginx")
printf '%-6s %12s %10s %16s\n' server "requests/s" "p99 ms" "CPU us/conn"
for line in "$tavlo" "$nginx"; do
  read -r n r p c <<< "$line"
  printf '%-6s %12s %10s %16s\n' "$n" "$r" "$p" "$c"
done
read -r _ tr tp tc <<< "$tavlo"
read -r _ nr np nc <<< "$nginx"
awk -v tr="$tr" -v nr="$nr" -v tp="$tp" -v np="$np" -v tc="$tc" -v nc="$nc" 'BEGIN {
  printf "tavlo/nginx: requests/s %.2f, p99 %.2f, CPU per connection %.2f\n", tr / nr, tp / np, tc / nc }'
