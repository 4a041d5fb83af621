# Shell functions for running several zorvane-service instances behind
# nginx from the distribution, used by the end-to-end run and the
# benchmarks on PostgreSQL. Source it; needs bash.

# free_port: a TCP port on 127.0.0.1 that nothing listens on right now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

# start_balancer DIR PORT BACKEND_PORT...: nginx on 127.0.0.1:PORT sharing
# requests round-robin between the services on the backend ports, with the
# public configuration of scripts/nginx-zorvane.conf. Its pid file, logs
# and temporary files all live in DIR, so it needs no system set-up and
# runs as root or not. Sets BALANCER_PID.
start_balancer() {
  local dir=$1 port=$2
  shift 2
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  local servers="" backend
  for backend in "$@"; do
    servers+="server 127.0.0.1:$backend; "
  done
  sed -e "s/@LISTEN@/127.0.0.1:$port/" -e "s/@BACKENDS@/$servers/" \
    "$(dirname "${BASH_SOURCE[0]}")/nginx-zorvane.conf" >"$dir/zorvane.conf"
  local user=""
  # Started as root, nginx hands its workers to an unprivileged user.
  [ "$(id -u)" -eq 0 ] && user="user nobody nogroup;"
  cat >"$dir/nginx.conf" <<CONF
$user
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 256; }
http {
  log_format balanced '\$remote_addr "\$request" \$status upstream=\$upstream_addr';
  access_log $dir/access.log balanced;
  client_body_temp_path $dir/client_body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  # Bodies stay in memory, so that workers running as "nobody" never need
  # to write temporary files into DIR.
  client_body_buffer_size 9m;
  include $dir/zorvane.conf;
}
CONF
  nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" -t >"$dir/config-test.log" 2>&1 \
    || { cat "$dir/config-test.log" >&2; return 1; }
  nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" || { cat "$dir/error.log" >&2; return 1; }
  BALANCER_PID=
  for _ in $(seq 100); do
    BALANCER_PID=$(cat "$dir/nginx.pid" 2>/dev/null || true)
    [ -n "$BALANCER_PID" ] && curl -s -o /dev/null "http://127.0.0.1:$port/" && return 0
    sleep 0.1
  done
  echo "nginx did not start; its log:" >&2
  cat "$dir/error.log" >&2
  return 1
}

# stop_balancer DIR: stops the nginx that start_balancer started in DIR.
stop_balancer() {
  local pid
  pid=$(cat "$1/nginx.pid" 2>/dev/null || true)
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
}
