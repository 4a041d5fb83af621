#!/usr/bin/env bash
# End to end with several instances: a throwaway PostgreSQL cluster, two
# zorvane-service instances on two loopback ports sharing its database, and
# nginx in front of them (round-robin). The real zorvane.exe under Wine scans
# through the nginx address; the report must be identical from either
# instance. Then one scan is initialised on instance A and submitted to
# instance B, and one submit is raced on both: each scan is stored once and
# complete. Artefacts (service, nginx and cluster logs, reports) stay in
# build/e2e-pg/. Exits 77 (skipped) only when zorvane.exe is not built or
# PostgreSQL's server programs or nginx are not installed.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
source scripts/service-lib.sh
source scripts/pg-lib.sh

service=${ZORVANE_SERVICE:-build/native/service/zorvane-service}
split=${ZORVANE_SPLIT_SCAN:-build/native/tests/service/storage/zorvane_split_scan}
pick_client
client_build=$CLIENT_BUILD
out=build/e2e-pg

if [ ! -f "$client_build/$CLIENT_EXE" ]; then
  echo "e2e-pg: SKIP: $client_build/$CLIENT_EXE is not built (make win32)" >&2
  exit 77
fi
if ! command -v nginx >/dev/null 2>&1; then
  echo "e2e-pg: SKIP: nginx is not installed (scripts/bootstrap.sh installs it)" >&2
  exit 77
fi
[ -x "$service" ] || { echo "e2e-pg: $service is not built (make native)" >&2; exit 1; }
[ -x "$split" ] || { echo "e2e-pg: $split is not built (make native)" >&2; exit 1; }

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

rm -rf "$out"
mkdir -p "$out"
export WINEPREFIX="$root/$client_build/wineprefix"

pid_a= pid_b=
cleanup() {
  [ -n "$pid_a" ] && kill "$pid_a" 2>/dev/null || true
  [ -n "$pid_b" ] && kill "$pid_b" 2>/dev/null || true
  stop_balancer "$out/nginx"
  scripts/pg-cluster.sh stop "$out/pg" || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

fail() {
  echo "e2e-pg: FAIL: $*" >&2
  for log in "$out"/service-a.log "$out"/service-b.log "$out"/nginx/error.log; do
    [ -f "$log" ] && { echo "--- $log" >&2; tail -n 30 "$log" >&2; }
  done
  exit 1
}

scripts/pg-cluster.sh start "$out/pg"
if [ -f "$out/pg/absent" ]; then
  echo "e2e-pg: SKIP: $(cat "$out/pg/absent")" >&2
  exit 77
fi
url=$(cat "$out/pg/url")
balancer_port=$(free_port)
public="http://127.0.0.1:$balancer_port"

start_service "$service" "$url" "$out/service-a.log" --public-url "$public" --trusted-proxy 127.0.0.1
pid_a=$SERVICE_PID port_a=$SERVICE_PORT
start_service "$service" "$url" "$out/service-b.log" --public-url "$public" --trusted-proxy 127.0.0.1
pid_b=$SERVICE_PID port_b=$SERVICE_PORT
start_balancer "$out/nginx" "$balancer_port" "$port_a" "$port_b"
echo "e2e-pg: instances on :$port_a and :$port_b behind nginx on :$balancer_port, database $url"

# sql QUERY [ID]: one value from the shared database; :'id' in QUERY is ID.
sql() {
  printf '%s\n' "$1" | psql "$url" -X -q -t -A -v ON_ERROR_STOP=1 -v id="${2:-}"
}

# same_report ID: the JSON export and the page agree between both instances.
same_report() {
  local id=$1 kind
  for kind in json html; do
    local suffix=".json"
    [ "$kind" = html ] && suffix=""
    curl -fsS "http://127.0.0.1:$port_a/scan/$id$suffix" -o "$out/$id-a.$kind" || fail "instance A has no report $id"
    curl -fsS "http://127.0.0.1:$port_b/scan/$id$suffix" -o "$out/$id-b.$kind" || fail "instance B has no report $id"
    cmp -s "$out/$id-a.$kind" "$out/$id-b.$kind" || fail "the $kind report of $id differs between the instances"
  done
}

# stored_once ID RECORDS: one scan row, submitted, with RECORDS processes,
# each of whose files is complete.
stored_once() {
  local id=$1 records=$2
  [ "$(sql "SELECT count(*) FROM scans WHERE scan_id = :'id' AND submitted_at IS NOT NULL" "$id")" = 1 ] \
    || fail "scan $id is not stored as submitted"
  [ "$(sql "SELECT count(*) FROM processes WHERE scan_id = :'id'" "$id")" = "$records" ] \
    || fail "scan $id does not have $records records"
  [ "$(sql "SELECT count(*) FROM scan_slots s JOIN files f USING (file_id)
            WHERE s.scan_id = :'id' AND f.complete = 0 AND NOT EXISTS
              (SELECT 1 FROM scan_files o WHERE o.scan_id = s.scan_id AND o.file_id = s.file_id)" "$id")" = 0 ] \
    || fail "scan $id names files whose facts are missing"
  local announced
  announced=$(cat "$out/service-a.log" "$out/service-b.log" | grep -c "stored scan ${id:0:4}…:" || true)
  [ "$announced" = 1 ] || fail "scan $id was announced $announced times"
}

# 1. The real client through nginx.
status=0
run_client "$client_build" "$balancer_port" "$CLIENT_EXE" >"$out/client.log" 2>&1 || status=$?
address=$(report_address "$out/service-a.log" 1 "$url")
[ -n "$address" ] || address=$(report_address "$out/service-b.log" 1 "$url")
[ -n "$address" ] || fail "$CLIENT_EXE (exit status $status) stored no scan through nginx"
case "$address" in
  "$public"/scan/*) ;;
  *) fail "the report address $address is not under the nginx address $public" ;;
esac
id=${address##*/}
echo "e2e-pg: the client's scan $id, report at $address"
curl -fsS "$address.json" -o "$out/report.json" || fail "no report through nginx"
records=$(python3 -c 'import json, sys; print(len(json.load(open(sys.argv[1]))["records"]))' "$out/report.json")
[ "$records" -gt 0 ] || fail "the client's report has no records"
same_report "$id"
stored_once "$id" "$records"
ranged=$(curl -sS -o /dev/null -w '%{http_code}' -H 'Range: bytes=0-9,20-29' "$address")
[ "$ranged" = 200 ] || fail "a ranged request for the report through nginx got $ranged, not the whole report"
grep -o 'upstream=[0-9.:]*' "$out/nginx/access.log" | sort | uniq -c | sed 's/^/e2e-pg: nginx sent /'

# 2. Initialise on A, submit to B.
"$split" split "$port_a" "$port_b" >"$out/split.log" 2>&1 || { cat "$out/split.log" >&2; fail "the split scan"; }
id=$(sed -n 's/^scan //p' "$out/split.log")
grep -q "initialised scan ${id:0:4}…" "$out/service-a.log" || fail "instance A did not initialise $id"
grep -q "stored scan ${id:0:4}…:" "$out/service-b.log" || fail "instance B did not store $id"
stored_once "$id" 3
same_report "$id"
echo "e2e-pg: scan $id initialised on A and submitted to B: stored once"

# 3. The same submit on both instances at once.
"$split" race "$port_a" "$port_b" >"$out/race.log" 2>&1 || { cat "$out/race.log" >&2; fail "the raced submit"; }
id=$(sed -n 's/^scan //p' "$out/race.log")
stored_once "$id" 3
same_report "$id"
echo "e2e-pg: scan $id submitted to A and B at once: one 200, one 409, stored once"

echo "e2e-pg: passed; artefacts in $out/"
