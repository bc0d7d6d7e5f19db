#!/usr/bin/env bash
# A 1 GiB download from kxcloud against nginx serving the same file, both on
# loopback free ports, timed with `curl -s -o /dev/null`. Prints MB/s of each
# and the ratio kxcloud/nginx (best of ROUNDS runs each, interleaved).
#   bench/bench_kxcloud_get.sh [path/to/kxcloud] [size-in-MiB] [rounds]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
kxcloud=${1:-$top/build/tools/kxcloud/kxcloud}
mib=${2:-1024}
rounds=${3:-3}
. "$top/bench/nginx.sh"

work=$(mktemp -d /tmp/bench_kxcloud.XXXXXX)
kx_pid=""; nginx_pid=""
cleanup() {
  [ -n "$kx_pid" ] && kill "$kx_pid" 2>/dev/null && wait "$kx_pid" 2>/dev/null || true
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# kxcloud with the demo account; the file is uploaded through the service itself.
"$kxcloud" --data "$work/kx" --seed demo > "$work/kx.out" 2>"$work/kx.err" &
kx_pid=$!
for _ in $(seq 100); do [ -s "$work/kx.out" ] && break; sleep 0.05; done
url=$(head -1 "$work/kx.out")
dev=kxcloud-dev; svc=6b786364-0000-4000-8000-000000000001
reply=$(curl -s -H 'SoapAction: createFile' --data-binary @- "$url/svc/api" <<XML
<?xml version="1.0" encoding="UTF-8" ?><soapenv:Envelope xmlns:soapenv="http://schemas.xmlsoap.org/soap/envelope/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"><soapenv:Body><createFile><valtoken xsi:type="xsd:string">demo-token</valtoken><deviceid xsi:type="xsd:string">$dev</deviceid><serviceid xsi:type="xsd:string">$svc</serviceid><parentid xsi:type="xsd:string">0</parentid><filename xsi:type="xsd:string">bench.bin</filename><type xsi:type="xsd:string">0</type></createFile></soapenv:Body></soapenv:Envelope>
XML
)
fid=$(sed -n 's/.*<fileid[^>]*>\([0-9]*\)<.*/\1/p' <<<"$reply")
kx_file="$url/svc/files/$dev/$svc/$fid"
head -c $((mib * 1048576)) /dev/urandom > "$work/bench.bin"
curl -s -f -T "$work/bench.bin" -b valtoken=demo-token "$kx_file" >/dev/null

# nginx serving the same bytes.
mkdir -p "$work/www"
cp "$work/bench.bin" "$work/www/bench.bin"
nginx_start "$work/ng" "$work/www" "tcp_nopush on;"
ng_file="http://127.0.0.1:$nginx_port/bench.bin"

speed() { curl -s -f -o /dev/null -w '%{speed_download}' "$@"; }
best_kx=0; best_ng=0
for _ in $(seq "$rounds"); do
  k=$(speed -b valtoken=demo-token "$kx_file"); n=$(speed "$ng_file")
  best_kx=$(python3 -c "print(max($best_kx, $k))"); best_ng=$(python3 -c "print(max($best_ng, $n))")
done
python3 - "$mib" "$best_kx" "$best_ng" <<'PY'
import sys
mib, kx, ng = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
print(f"GET {mib} MiB  kxcloud {kx/1e6:8.1f} MB/s   nginx {ng/1e6:8.1f} MB/s   ratio {kx/ng:.2f}")
PY
