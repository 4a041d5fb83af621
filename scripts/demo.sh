#!/usr/bin/env bash
# The main job: the service on loopback with its SQLite file, the client
# scanning this machine's Wine processes against it, and the report address
# with a short summary. The service keeps running so that the report can be
# opened; the last lines say how to stop it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/service-lib.sh

service=build/release/service/zorvane-service
pick_client
client_build=$CLIENT_BUILD
for f in "$service" "$client_build/$CLIENT_EXE"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "demo: $f is missing; run make demo" >&2; exit 1; }
done

# One demo service at a time: stop the one a previous run left behind.
pidfile=var/zorvane-service.pid
if [ -f "$pidfile" ]; then
  old=$(cat "$pidfile")
  if [ -n "$old" ] && [ "$(ps -o comm= -p "$old" 2>/dev/null)" = zorvane-service ]; then
    kill "$old" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$old" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -f "$pidfile"
fi

log=var/zorvane-service.log
start_service "$service" var/zorvane.sqlite "$log"
echo "$SERVICE_PID" >"$pidfile"
echo "demo: zorvane-service listens on 127.0.0.1:$SERVICE_PORT (pid $SERVICE_PID, log $log)"

first_line=$(($(wc -l <"$log") + 1))
echo "demo: scanning this machine's Wine processes with $CLIENT_WHY (this takes a minute or two)"
status=0
run_client "$client_build" "$SERVICE_PORT" "$CLIENT_EXE" >var/zorvane-client.log 2>&1 || status=$?
WINEPREFIX="$PWD/$client_build/wineprefix" wineserver -k 2>/dev/null || true

address=$(report_address "$log" "$first_line" var/zorvane.sqlite)
if [ -z "$address" ]; then
  echo "demo: $CLIENT_EXE (exit status $status) stored no scan." >&2
  echo "demo: its output (var/zorvane-client.log):" >&2
  tail -n 20 var/zorvane-client.log >&2
  echo "demo: the service log:" >&2
  tail -n 20 "$log" >&2
  echo "demo: the service still runs; stop it with: kill $SERVICE_PID" >&2
  exit 1
fi

echo
echo "Report: $address"
curl -fsS "$address.json" | python3 -c '
import json, sys
r = json.load(sys.stdin)
s = r["scan"]
procs = [x for x in r["records"] if x["process"]]
print("Scanned:  %s UTC from %s" % (r["scanTime"], r["clientIp"]))
print("System:   %s %s" % (s.get("Caption", ""), s.get("Version", "")))
print("CPU:      %s" % s.get("Processor", ""))
print("Records:  %d files, %d processes, %d unknown to the service" %
      (r["summary"]["records"], r["summary"]["processes"], r["summary"]["unknownFiles"]))
print()
print("%8s  %-24s %-28s %s" % ("PID", "Image", "Company", "Modules"))
for p in sorted(procs, key=lambda p: int(p["values"].get("wmi.ProcessId") or 0)):
    print("%8s  %-24s %-28s %d" % (p["values"].get("wmi.ProcessId", ""), p["values"].get("path.file", "")[:24],
                                  p["file"].get("ver.CompanyName", "")[:28], len(p["modules"])))
'
echo
echo "The service keeps running so that you can open the report."
echo "Stop it with: kill $SERVICE_PID"
