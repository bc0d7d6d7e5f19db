# shellcheck shell=bash
# Sourced by the benchmark scripts that compare against nginx.
#   nginx_start DIR ROOT [DIRECTIVES]
# Writes DIR/nginx.conf (logs, pid and temporary files all under DIR) for one
# worker serving ROOT on a free loopback port, with DIRECTIVES added to its
# http block; starts nginx as a background job of the calling shell and
# waits until it answers. Sets nginx_pid and nginx_port. The caller stops it
# (kill "$nginx_pid") in its own clean-up.
nginx_start() {
  local dir=$1 root=$2 directives=${3:-}
  local bin
  bin=$(command -v nginx || echo /usr/sbin/nginx)
  [ -x "$bin" ] || { echo "nginx is not installed" >&2; return 1; }
  nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  # As root nginx would hand its worker to "nobody", who cannot read DIR.
  local user=""
  [ "$(id -u)" -eq 0 ] && user="user root;"
  mkdir -p "$dir/tmp" "$dir/logs"
  cat > "$dir/nginx.conf" <<CONF
$user
daemon off;
worker_processes 1;
error_log $dir/logs/error.log;
pid $dir/logs/nginx.pid;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  default_type application/octet-stream;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  $directives
  server { listen 127.0.0.1:$nginx_port; root $root; }
}
CONF
  "$bin" -p "$dir/" -c "$dir/nginx.conf" &
  nginx_pid=$!
  local _
  for _ in $(seq 200); do
    curl -s -o /dev/null "http://127.0.0.1:$nginx_port/" && return 0
    sleep 0.05
  done
  echo "nginx did not start; see $dir/logs/error.log" >&2
  return 1
}
