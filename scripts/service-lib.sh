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

# run_client WIN32_BUILD PORT: runs zorvane.exe unattended against the
# service and waits for it to exit (at most 5 minutes, Wine start-up included).
run_client() {
  local build=$1 port=$2
  timeout --kill-after=10 300 "$build/wine-run.sh" "$build/zorvane.exe" /skipfast /nobrowser \
    /host=127.0.0.1 "/port=$port"
}

# report_address LOG FIRST_LINE: the address of the last scan stored after
# line FIRST_LINE of the service log; empty when none was stored.
report_address() {
  tail -n +"$2" "$1" | sed -n 's/.*stored scan .*; report \(http[^ ]*\)$/\1/p' | tail -n1
}
