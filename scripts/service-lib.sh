# Shell functions shared by the demo and the end-to-end test: start
# zorvane-service on loopback, run the client against it under Wine, and
# read the report address from the service's log. Source it; needs bash.

# start_service BINARY DB LOG [OPTION...]: starts the service on 127.0.0.1
# with a free port in its own session (so that it outlives the caller and
# ignores the terminal's Ctrl-C), and sets SERVICE_PID and SERVICE_PORT.
# DB is a SQLite file or a postgresql:// URL; further options go to the
# service as they are.
start_service() {
  local binary=$1 db=$2 log=$3
  shift 3
  case "$db" in
    postgres://* | postgresql://*) ;;
    *) mkdir -p "$(dirname "$db")" ;;
  esac
  mkdir -p "$(dirname "$log")"
  : >"$log"
  setsid "$binary" --listen 127.0.0.1:0 --db "$db" "$@" 2>>"$log" </dev/null >/dev/null &
  SERVICE_PID=$!
  SERVICE_PORT=
  for _ in $(seq 100); do
    SERVICE_PORT=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9][0-9]*\),.*/\1/p' "$log" | head -n1)
    [ -n "$SERVICE_PORT" ] && return 0
    kill -0 "$SERVICE_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "zorvane-service did not start; its log:" >&2
  cat "$log" >&2
  return 1
}

# pick_client: the client this host can run, in CLIENT_BUILD (its build
# tree) and CLIENT_EXE (its file name): zorvane.exe where the host executes
# 32-bit programs and the 32-bit tree is built, else zorvane64.exe under
# wine64. CLIENT_WHY says why, in one line.
pick_client() {
  local here
  here="$(dirname "${BASH_SOURCE[0]}")"
  if reason=$("$here/host-runs-32bit.sh" -v) && [ -f build/win32/zorvane.exe ]; then
    CLIENT_BUILD=build/win32 CLIENT_EXE=zorvane.exe
    CLIENT_WHY="zorvane.exe under 32-bit Wine"
  else
    CLIENT_BUILD=build/win64 CLIENT_EXE=zorvane64.exe
    if [ -n "$reason" ]; then
      CLIENT_WHY="zorvane64.exe under wine64: this host cannot run 32-bit Windows programs ($reason)"
    else
      CLIENT_WHY="zorvane64.exe under wine64: the 32-bit tree is not built"
    fi
  fi
}

# run_client BUILD PORT [EXE]: runs the client (default zorvane.exe)
# unattended against the service and waits for it to exit (at most 5
# minutes, Wine start-up included).
run_client() {
  local build=$1 port=$2 exe=${3:-zorvane.exe}
  timeout --kill-after=10 300 "$build/wine-run.sh" "$build/$exe" /skipfast /nobrowser \
    /host=127.0.0.1 "/port=$port"
}

# report_address LOG FIRST_LINE DB: the address of the last scan stored
# after line FIRST_LINE of the service log; empty when none was stored. The
# log names a scan by the first four characters of its id alone (the id is
# the report's only key), so the whole id comes from the database DB, a
# SQLite file or a postgresql:// URL.
report_address() {
  local log=$1 first=$2 db=$3 prefix base query id
  prefix=$(tail -n +"$first" "$log" | sed -n 's/.*stored scan \([A-Za-z0-9_-]\{4\}\)[^A-Za-z0-9_-].*/\1/p' | tail -n1)
  base=$(sed -n 's/.*reports under \(http[^ ]*\/scan\/\)$/\1/p' "$log" | head -n1)
  if [ -z "$prefix" ] || [ -z "$base" ]; then
    return 0
  fi
  query="SELECT scan_id FROM scans WHERE submitted_at IS NOT NULL AND substr(scan_id, 1, 4) = '$prefix'
         ORDER BY submitted_at DESC LIMIT 1"
  case "$db" in
    postgres://* | postgresql://*) id=$(psql "$db" -X -q -t -A -c "$query") ;;
    *) id=$(sqlite3 "$db" "$query") ;;
  esac
  if [ -n "$id" ]; then
    echo "$base$id"
  fi
}
