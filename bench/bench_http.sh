#!/usr/bin/env bash
# The HTTP client against curl and wrk on the same local nginx, in one run:
#  - one 256 MiB GET read to its end, against `curl -s -o /dev/null`
#    (throughput, best of 3 alternating runs each; ratio ours / curl);
#  - 10,000 small GETs over one pooled keep-alive connection, against
#    `wrk -t1 -c1` on the same URL (requests per second; ratio ours / wrk).
# Needs nginx, curl and wrk (tools/deps/http.txt). Builds into build/.
set -euo pipefail
cd "$(dirname "$0")/.."
for tool in /usr/sbin/nginx curl wrk python3; do
  command -v "$tool" >/dev/null || { echo "bench_http: $tool is missing" >&2; exit 1; }
done
cmake -S . -B build >/dev/null
cmake --build build -j2 --target bench_http >/dev/null
driver=build/bench/bench_http

prefix=$(mktemp -d /tmp/bench_http.XXXXXX)
nginx_pid=
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$prefix"
}
trap cleanup EXIT
mkdir -p "$prefix/html"
head -c $((256 * 1024 * 1024)) /dev/urandom > "$prefix/html/big.bin"
printf 'hello, world\n' > "$prefix/html/small.txt"
. bench/nginx.sh
nginx_start "$prefix/nginx" "$prefix/html" "keepalive_requests 1000000; keepalive_timeout 60s;"
base="http://127.0.0.1:$nginx_port"
cat "$prefix/html/big.bin" > /dev/null

best_ours=0
best_curl=0
for _ in 1 2 3; do
  ours=$($driver get "$base/big.bin" | awk '{print $3}')
  theirs=$(curl -s -o /dev/null -w '%{speed_download}' "$base/big.bin")
  best_ours=$(python3 -c "print(max($best_ours, $ours))")
  best_curl=$(python3 -c "print(max($best_curl, float('$theirs')))")
done
echo "256 MiB GET: ours $(python3 -c "print(round($best_ours/2**20))") MiB/s," \
     "curl $(python3 -c "print(round($best_curl/2**20))") MiB/s," \
     "ratio $(python3 -c "print(round($best_ours/$best_curl, 3))")"

ours_rps=$($driver small "$base/small.txt" 10000 | awk '{print $3}')
wrk_rps=$(wrk -t1 -c1 -d5s "$base/small.txt" | awk '/Requests\/sec/ {print $2}')
echo "10,000 small GETs: ours $ours_rps req/s, wrk -t1 -c1 $wrk_rps req/s," \
     "ratio $(python3 -c "print(round($ours_rps/$wrk_rps, 3))")"
