#!/usr/bin/env bash
# Records the seed corpus of real bodies for the service_decode and
# protocol_decode fuzz targets: zorvane.exe scans Wine's processes twice
# (the second scan finds its files known) through a recording proxy in
# front of zorvane-service, and each scan's three messages become seeds.
# Needs `make native win32`. Writes fuzz/corpus/service_decode/real_* and
# fuzz/corpus/protocol_decode/real_*.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/service-lib.sh

service=${ZORVANE_SERVICE:-build/native/service/zorvane-service}
client_build=build/win32
[ -x "$service" ] || { echo "record_service_seeds: $service is not built (make native)" >&2; exit 1; }
[ -f "$client_build/zorvane.exe" ] || { echo "record_service_seeds: zorvane.exe is not built (make win32)" >&2; exit 1; }

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

work=$(mktemp -d)
proxy_pid=
cleanup() {
  [ -n "$proxy_pid" ] && kill "$proxy_pid" 2>/dev/null || true
  [ -n "${SERVICE_PID:-}" ] && kill "$SERVICE_PID" 2>/dev/null || true
  WINEPREFIX="$root/$client_build/wineprefix" wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

start_service "$service" "$work/scans.sqlite" "$work/service.log"
python3 fuzz/recording_proxy.py --upstream "$SERVICE_PORT" --out "$work/exchanges" --port-file "$work/proxy-port" &
proxy_pid=$!
for _ in $(seq 100); do [ -f "$work/proxy-port" ] && break; sleep 0.1; done
proxy_port=$(cat "$work/proxy-port")

for scan in 1 2; do
  run_client "$client_build" "$proxy_port" >"$work/client-$scan.log" 2>&1 || true
done

# Exchanges 1 and 2 are the first scan, 3 and 4 the second.
python3 - "$work/exchanges" <<'EOF'
import os, sys
exchanges = sys.argv[1]
def read(n, suffix):
    with open(os.path.join(exchanges, f"{n}.{suffix}"), "rb") as f:
        return f.read()
for scan, first in ((1, 1), (2, 3)):
    if b"initialisescan" not in read(first, "target") or b"submitscan" not in read(first + 1, "target"):
        sys.exit(f"scan {scan}: exchanges {first} and {first + 1} are not initialise and submit")
    initialise, reply, submit = read(first, "request"), read(first, "reply"), read(first + 1, "request")
    # service_decode: selector 3 pairs the initialise body and its reply
    # with the submit body; selector 0 is the initialise body alone.
    with open(f"fuzz/corpus/service_decode/real_scan_{scan}", "wb") as f:
        f.write(b"\x03" + initialise + b"\n" + reply + b"\n" + submit)
    with open(f"fuzz/corpus/service_decode/real_initialise_{scan}", "wb") as f:
        f.write(b"\x00" + initialise)
    # protocol_decode: selector 0x3c is a whole submit body with the largest cap.
    with open(f"fuzz/corpus/protocol_decode/real_submit_body_{scan}", "wb") as f:
        f.write(b"\x3c" + submit)
    print(f"scan {scan}: initialise {len(initialise)} bytes, reply {len(reply)} bytes, submit {len(submit)} bytes")
EOF
