#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for tests and benchmarks: initdb into a new
# temporary directory, postgres on a free loopback port (and a socket in
# that directory), trust authentication, no system service involved.
#
#   scripts/pg-cluster.sh start STATE_DIR   writes STATE_DIR/url (a database
#                                           "zorvane"), STATE_DIR/port and
#                                           STATE_DIR/bindir
#   scripts/pg-cluster.sh stop STATE_DIR    stops the cluster, removes its data
#
# initdb and postgres refuse to run as root; as root the cluster runs as the
# "postgres" user (made by the distribution's package) or else "nobody".
# When the server binaries are missing, start writes the reason to
# STATE_DIR/absent and exits 0, so that tests can say why they skip; any
# other failure exits non-zero. ZORVANE_PG_BINDIR names the binaries'
# directory when they live elsewhere.
set -euo pipefail

command=${1:-}
state=${2:-}
if [ -z "$command" ] || [ -z "$state" ]; then
  echo "usage: $0 start|stop STATE_DIR" >&2
  exit 2
fi

find_bindir() {
  local dir
  if [ -n "${ZORVANE_PG_BINDIR:-}" ]; then
    echo "$ZORVANE_PG_BINDIR"
    return
  fi
  # Debian keeps the server programs out of PATH, one directory per major version.
  for dir in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
    [ -x "$dir/initdb" ] && [ -x "$dir/pg_ctl" ] && { echo "$dir"; return; }
  done
  if command -v pg_config >/dev/null 2>&1; then
    dir=$(pg_config --bindir 2>/dev/null || true)
    [ -n "$dir" ] && [ -x "$dir/initdb" ] && { echo "$dir"; return; }
  fi
  dir=$(dirname "$(command -v initdb 2>/dev/null || echo /nonexistent/initdb)")
  [ -x "$dir/initdb" ] && echo "$dir"
  return 0
}

# as_owner CMD...: runs CMD as the cluster's owner.
owner=
as_owner() {
  if [ -n "$owner" ]; then
    runuser -u "$owner" -- "$@"
  else
    "$@"
  fi
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

start() {
  mkdir -p "$state"
  # A cluster left behind by an interrupted run goes first.
  stop
  rm -f "$state/url" "$state/port" "$state/absent" "$state/datadir"
  local bindir
  bindir=$(find_bindir)
  if [ -z "$bindir" ]; then
    echo "PostgreSQL server programs (initdb, pg_ctl) are not installed; scripts/bootstrap.sh installs them" \
      | tee "$state/absent" >&2
    return 0
  fi
  if [ "$(id -u)" -eq 0 ]; then
    if id postgres >/dev/null 2>&1; then owner=postgres; else owner=nobody; fi
  fi

  # A directory the owner can reach when run as root: /tmp rather than the
  # build tree, whose parents may be closed to other users.
  local base
  base=$(mktemp -d "${TMPDIR:-/tmp}/zorvane-pg.XXXXXX")
  chmod 755 "$base"
  echo "$base" >"$state/datadir"
  [ -n "$owner" ] && chown "$owner" "$base"
  echo "$bindir" >"$state/bindir"
  echo "$owner" >"$state/owner"

  as_owner "$bindir/initdb" -D "$base/data" -U zorvane --auth=trust -E UTF8 --locale=C --no-sync \
    >"$base/initdb.log" 2>&1 || { cat "$base/initdb.log" >&2; return 1; }
  # Test data only: durability is traded for speed.
  cat >>"$base/data/postgresql.conf" <<EOF
listen_addresses = '127.0.0.1'
unix_socket_directories = '$base'
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 200
EOF

  local port attempt
  for attempt in 1 2 3 4 5; do
    port=$(free_port)
    if as_owner "$bindir/pg_ctl" -D "$base/data" -l "$base/postgres.log" -o "-p $port" -w -t 60 start \
        >"$base/pg_ctl.log" 2>&1; then
      echo "$port" >"$state/port"
      break
    fi
    # Another program may have taken the port in between: try another.
    port=
  done
  if [ -z "$port" ]; then
    echo "postgres did not start; its log:" >&2
    cat "$base/postgres.log" >&2 || true
    return 1
  fi
  as_owner "$bindir/createdb" -h 127.0.0.1 -p "$port" -U zorvane zorvane
  echo "postgresql://zorvane@127.0.0.1:$port/zorvane" >"$state/url"
}

stop() {
  [ -f "$state/datadir" ] || return 0
  local base bindir
  base=$(cat "$state/datadir")
  bindir=$(cat "$state/bindir" 2>/dev/null || find_bindir)
  owner=$(cat "$state/owner" 2>/dev/null || true)
  if [ -f "$base/data/postmaster.pid" ]; then
    as_owner "$bindir/pg_ctl" -D "$base/data" -m fast -w -t 60 stop >/dev/null 2>&1 \
      || as_owner "$bindir/pg_ctl" -D "$base/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  case "$base" in
    */zorvane-pg.*) rm -rf "$base" ;;
  esac
  rm -f "$state/url" "$state/port" "$state/datadir" "$state/bindir" "$state/owner"
}

case "$command" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop STATE_DIR" >&2; exit 2 ;;
esac
