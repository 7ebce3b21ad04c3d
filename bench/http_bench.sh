#!/bin/sh
# bench/http_bench.sh -- the HTTP service beside busybox httpd serving the same files: requests
# per second for a 1 KB page and MB/s for a 10 MiB entry, one request per connection, the load
# from wrk in a second process. Builds http_bench_server with the release preset (in build/release,
# or KELVANE_BENCH_BUILD_DIR). Needs wrk and busybox (Debian packages of those names).
# HTTP_BENCH_SECONDS sets each run's length (default 10).
set -eu
cd "$(dirname "$0")/.."
build=${KELVANE_BENCH_BUILD_DIR:-build/release}
seconds=${HTTP_BENCH_SECONDS:-10}
for tool in wrk busybox python3; do
  command -v "$tool" >/dev/null || { echo "http_bench: $tool is missing" >&2; exit 1; }
done

cmake --preset release -B "$build" >/dev/null
cmake --build "$build" --target http_bench_server -j 2 >/dev/null

work=$(mktemp -d)
server_pid=
busybox_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [ -n "$busybox_pid" ] && kill "$busybox_pid" 2>/dev/null && wait "$busybox_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The server writes the files (for busybox too), packs them and prints the port it got.
"$build/bin/http_bench_server" "$work" 0 >"$work/port.txt" &
server_pid=$!
tries=0
until grep -q '^port ' "$work/port.txt" 2>/dev/null; do
  tries=$((tries + 1))
  [ "$tries" -le 300 ] || { echo "http_bench: the server did not start" >&2; exit 1; }
  sleep 0.1
done
kelvane_port=$(sed -n 's/^port //p' "$work/port.txt")

busybox_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
busybox httpd -f -p "127.0.0.1:$busybox_port" -h "$work/www" &
busybox_pid=$!
tries=0
until python3 -c "import socket; socket.create_connection(('127.0.0.1', $busybox_port), 1)" 2>/dev/null; do
  tries=$((tries + 1))
  [ "$tries" -le 100 ] || { echo "http_bench: busybox httpd did not start" >&2; exit 1; }
  sleep 0.1
done

big_bytes=$(wc -c <"$work/www/big.txt")

# wrk <connections> <url> -> requests per second. "Connection: close" makes wrk open a connection
# per request; it counts each answer's end of stream as a read error, so errors are not checked.
requests_per_second() {
  wrk -t1 -c"$1" -d"${seconds}s" -H 'Connection: close' "$2" >"$work/wrk.txt" 2>&1
  cat "$work/wrk.txt" >&2
  sed -n 's/^Requests\/sec: *//p' "$work/wrk.txt"
}

echo "| server | 1 KB page, requests/s (4 connections) | 10 MiB entry, MB/s (1 connection) |"
echo "|---|---:|---:|"
for server in kelvane busybox; do
  if [ "$server" = kelvane ]; then port=$kelvane_port; else port=$busybox_port; fi
  base="http://127.0.0.1:$port"
  small=$(requests_per_second 4 "$base/small.html")
  big=$(requests_per_second 1 "$base/big.txt")
  rate=$(python3 -c "print('%.0f' % ($big * $big_bytes / 1e6))")
  echo "| $server | $small | $rate |"
done
