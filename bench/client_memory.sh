#!/usr/bin/env bash
# Peak resident set of zorvane.exe doing a full scan under Wine against a
# release zorvane-service on loopback, set against a trivial windowed Win32
# program under the same Wine prefix (Wine's own floor), each taken with
# /usr/bin/time -v. Wine's server and its system processes are started
# before either measurement, so that neither counts them. Needs a display
# (scripts/run-benchmarks.sh supplies a virtual one). The last line: the
# difference in MB and the goal.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/service-lib.sh

pick_client
win32=$CLIENT_BUILD
service=build/release/service/zorvane-service
for f in "$service" "$win32/$CLIENT_EXE" "$win32/bench/trivial_win32.exe"; do
  [ -f "$f" ] || { echo "client_memory: $f is missing; build it with: make release win32" >&2; exit 1; }
done
[ -n "${DISPLAY:-}" ] || { echo "client_memory: needs DISPLAY" >&2; exit 1; }

work=$(mktemp -d)
SERVICE_PID=
cleanup() {
  [ -n "$SERVICE_PID" ] && kill "$SERVICE_PID" 2>/dev/null || true
  WINEPREFIX="$PWD/$win32/wineprefix" wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Kilobytes of "Maximum resident set size" in a /usr/bin/time -v report.
peak_kb() {
  sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): \([0-9]*\)$/\1/p' "$1"
}

# Wine up: the first run starts the server, the desktop and the services.
"$win32/wine-run.sh" "$win32/bench/trivial_win32.exe"
/usr/bin/time -v -o "$work/floor.txt" "$win32/wine-run.sh" "$win32/bench/trivial_win32.exe"

start_service "$service" "$work/scans.sqlite" "$work/service.log"
/usr/bin/time -v -o "$work/client.txt" timeout --kill-after=10 300 "$win32/wine-run.sh" "$win32/$CLIENT_EXE" \
  /skipfast /nobrowser /host=127.0.0.1 "/port=$SERVICE_PORT" >"$work/client.log" 2>&1 || true
stored=$(sed -n 's/.*stored scan [^:]*: \([0-9]*\) records, .*/\1/p' "$work/service.log" | tail -n 1)
if [ -z "$stored" ]; then
  echo "client_memory: zorvane.exe stored no scan; the service log:" >&2
  tail -n 5 "$work/service.log" >&2
  exit 1
fi

floor=$(peak_kb "$work/floor.txt")
client=$(peak_kb "$work/client.txt")
echo "full scan: $stored records stored"
echo "trivial Win32 program under Wine: peak resident set $((floor / 1024)) MiB ($floor kB)"
echo "zorvane.exe /skipfast /nobrowser:  peak resident set $((client / 1024)) MiB ($client kB)"
awk -v c="$client" -v f="$floor" \
  'BEGIN { printf "client memory above the floor: %.1f MB (goal <= 10 MB)\n", (c - f) * 1024 / 1e6 }'
