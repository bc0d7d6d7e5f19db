#!/usr/bin/env bash
# getFile calls per second over one pooled keep-alive connection to a local
# kxcloud, SOAP and packet encodings, against curl posting the same SOAP
# request the same number of times over one connection (curl reuses its
# connection across the URLs of one command line). Ratio ours / curl.
# Usage: bench/bench_rpc.sh [CALLS]   (default 2000). Builds into build/.
set -euo pipefail
cd "$(dirname "$0")/.."
n=${1:-2000}
command -v curl >/dev/null || { echo "bench_rpc: curl is missing" >&2; exit 1; }
cmake -S . -B build >/dev/null
cmake --build build -j2 --target bench_rpc kxcloud >/dev/null
driver=build/bench/bench_rpc

work=$(mktemp -d /tmp/bench_rpc.XXXXXX)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
build/tools/kxcloud/kxcloud --data "$work/data" --listen 127.0.0.1:0 --seed demo > "$work/out" &
pid=$!
for _ in $(seq 200); do
  [ -s "$work/out" ] && break
  sleep 0.05
done
base=$(head -n1 "$work/out")
api="$base/svc/api"
$driver body "$work/body.xml"

soap=$($driver calls "$api" "$n" | awk '{print $3}')
pkt=$($driver calls "$base/svc/pktm/" "$n" | awk '{print $3}')

urls=()
for _ in $(seq "$n"); do urls+=("$api"); done
start=$(date +%s.%N)
curl -s -o /dev/null -X POST -H 'SoapAction: getFile' \
  -H 'Content-Type: text/xml; charset="utf-8"' -H 'Transfer-Encoding: chunked' \
  --data-binary @"$work/body.xml" "${urls[@]}" > /dev/null
end=$(date +%s.%N)
curl_rps=$(python3 -c "print(round($n / ($end - $start), 1))")

echo "$n getFile calls over one connection: curl $curl_rps calls/s"
echo "  SOAP:   ours $soap calls/s, ratio $(python3 -c "print(round($soap / $curl_rps, 3))")"
echo "  packet: ours $pkt calls/s, ratio $(python3 -c "print(round($pkt / $curl_rps, 3))")"
