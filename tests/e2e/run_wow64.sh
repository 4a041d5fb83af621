#!/usr/bin/env bash
# zorvane.exe on 64-bit Windows: the 32-bit client runs in the 64-bit tree's
# Wine prefix (a WOW64 process there), writes the zorvane64.exe it carries
# to a private temporary folder, runs it with its own command line and hands
# on its exit code. Checks that the scan the service stored came from the
# 64-bit client (its own process is zorvane64.exe, and no "wow64:" fallback
# note), that the exit code is the child's, and that the temporary folder is
# gone. Needs a host that executes 32-bit programs: exits 77 elsewhere.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
source scripts/service-lib.sh

service=${ZORVANE_SERVICE:-build/native/service/zorvane-service}
out=build/e2e-wow64
if ! reason=$(scripts/host-runs-32bit.sh -v); then
  echo "e2e-wow64: SKIP: this host cannot run 32-bit Windows programs ($reason)" >&2
  exit 77
fi
for f in build/win32/zorvane.exe build/win64/wine-run.sh "$service"; do
  [ -e "$f" ] || { echo "e2e-wow64: $f is not built (make build)" >&2; exit 1; }
done
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

rm -rf "$out"
mkdir -p "$out"
export WINEPREFIX="$root/build/win64/wineprefix"
cleanup() {
  [ -n "${SERVICE_PID:-}" ] && kill "$SERVICE_PID" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
start_service "$service" "$out/scans.sqlite" "$out/service.log"

cp build/win32/zorvane.exe "$out/zorvane.exe"
status=0
timeout --kill-after=10 300 build/win64/wine-run.sh "$out/zorvane.exe" /skipfast /nobrowser /host=127.0.0.1 \
  "/port=$SERVICE_PORT" >"$out/client.log" 2>&1 || status=$?
fail() { echo "e2e-wow64: FAIL: $*" >&2; exit 1; }
[ "$status" -eq 0 ] || fail "zorvane.exe exited with $status (the 64-bit client's code, handed on)"

address=$(report_address "$out/service.log" 1 "$out/scans.sqlite")
[ -n "$address" ] || fail "no scan was stored; service log: $(cat "$out/service.log")"
curl -fsS "$address.json" -o "$out/report.json"
python3 - "$out/report.json" <<'PY' || fail "the stored scan is not the 64-bit client's"
import json, sys
report = json.load(open(sys.argv[1], encoding="utf-8"))
images = {r["values"].get("path.file", "").lower() for r in report["records"] if r["process"]}
error = report["scan"].get("ERROR", "")
print("processes:", ", ".join(sorted(images)))
ok = "zorvane64.exe" in images and "zorvane.exe" not in images and "wow64:" not in error
sys.exit(0 if ok else 1)
PY
left=$(find "$WINEPREFIX/drive_c" -maxdepth 6 -type d -name 'zorvane-*' 2>/dev/null | head -n1)
[ -z "$left" ] || fail "the temporary folder $left was left behind"
echo "e2e-wow64: zorvane.exe handed the run to zorvane64.exe: scan at ${address%/*}/…"
