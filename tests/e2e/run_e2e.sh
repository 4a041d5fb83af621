#!/usr/bin/env bash
# End to end: the real client under Wine (zorvane.exe where this host runs
# 32-bit programs, else zorvane64.exe under wine64) scans Wine's own processes and
# talks to the real zorvane-service on loopback; then the stored scan is
# checked against Wine (process ids, WMI caption) and against the files in
# the Wine prefix (md5sum, sha1sum, stat), and the results page is checked
# in headless Chromium at two window sizes. Artefacts (service log, JSON
# export, screenshots) stay in build/e2e/. Exits 77 (skipped) only when that
# client is not built; a client that completes no exchange is a failure.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
source scripts/service-lib.sh

service=${ZORVANE_SERVICE:-build/native/service/zorvane-service}
pick_client
client_build=$CLIENT_BUILD
out=build/e2e

if [ ! -f "$client_build/$CLIENT_EXE" ]; then
  echo "e2e: SKIP: $client_build/$CLIENT_EXE is not built (make win32)" >&2
  exit 77
fi
[ -x "$service" ] || { echo "e2e: $service is not built (make native)" >&2; exit 1; }

# One virtual display for Wine and its helpers.
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

rm -rf "$out"
mkdir -p "$out"
export WINEPREFIX="$root/$client_build/wineprefix"
wine_run() { "$client_build/wine-run.sh" "$@"; }

keeper=
cleanup() {
  [ -n "${SERVICE_PID:-}" ] && kill "$SERVICE_PID" 2>/dev/null || true
  [ -n "$keeper" ] && kill "$keeper" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

start_service "$service" "$out/scans.sqlite" "$out/service.log"

# A window that keeps the Wine session (and so its process ids) alive after
# the client exits, until the process list below has been taken.
wine_run notepad.exe >/dev/null 2>&1 &
keeper=$!
for _ in $(seq 120); do
  wine_run winedbg --command "info proc" 2>/dev/null | grep -q "'explorer.exe'" && break
  sleep 0.5
done

# A known-good set in the reference library's text format (quoted CSV,
# upper-case digests, CRLF), naming the prefix's kernel32.dll, which the
# client loads; its product comes from the product file beside it.
set_dir="$out/rds"
mkdir -p "$set_dir"
known="$WINEPREFIX/drive_c/windows/system32/kernel32.dll"
known_md5=$(md5sum "$known" | cut -d' ' -f1)
known_sha1=$(sha1sum "$known" | cut -d' ' -f1)
known_product="Wine, as the end-to-end run knows it"
printf '"SHA-1","MD5","CRC32","FileName","FileSize","ProductCode","OpSystemCode","SpecialCode"\r\n' >"$set_dir/NSRLFile.txt"
printf '"%s","%s","00000000","kernel32.dll",%s,4242,"358",""\r\n' "${known_sha1^^}" "${known_md5^^}" \
  "$(stat -c %s "$known")" >>"$set_dir/NSRLFile.txt"
printf '"ProductCode","ProductName","ProductVersion","OpSystemCode","MfgCode","Language","ApplicationType"\r\n' \
  >"$set_dir/NSRLProd.txt"
printf '4242,"%s","8.0","358","1","English","Operating System"\r\n' "$known_product" >>"$set_dir/NSRLProd.txt"
"$service" import-hashes --db "$out/scans.sqlite" --set e2e-rds --kind good "$set_dir/NSRLFile.txt" \
  >"$out/import.log" 2>&1 || { cat "$out/import.log" >&2; exit 1; }

status=0
run_client "$client_build" "$SERVICE_PORT" "$CLIENT_EXE" >"$out/client.log" 2>&1 || status=$?
wine_run winedbg --command "info proc" >"$out/wine-processes.txt" 2>/dev/null || true
wine_run wmic os get Caption >"$out/wmic-caption.txt" 2>/dev/null || true

address=$(report_address "$out/service.log" 1 "$out/scans.sqlite")
if [ -z "$address" ]; then
  echo "e2e: FAIL: $CLIENT_EXE (exit status $status) completed no exchange with the service." >&2
  echo "e2e: service log:" >&2
  cat "$out/service.log" >&2
  exit 1
fi
echo "e2e: report at $address"
curl -fsS "$address.json" -o "$out/report.json"
curl -fsS "$address" -o "$out/report.html"

python3 tests/e2e/check_scan.py --report "$out/report.json" --processes "$out/wine-processes.txt" \
  --caption "$out/wmic-caption.txt" --prefix "$WINEPREFIX" --client "$CLIENT_EXE"

# The page in headless Chromium at 1366x768 and 1920x1080: no sideways
# scrolling, the status summary, a process that opens into its modules;
# screenshots and the rendered page stay as artefacts.
python3 tests/e2e/browser_check.py "$address" "$out"
python3 tests/e2e/check_page.py --dom "$out/report-dom.html" --report "$out/report.json" \
  --screenshot "$out/report-1366x768.png"

# A second scan of the same machine, with a program the first scan did not
# see running: a copy of notepad.exe made new by a few bytes at its end.
added_dir="$WINEPREFIX/drive_c/zorvane-e2e"
mkdir -p "$added_dir"
cp "$WINEPREFIX/drive_c/windows/system32/notepad.exe" "$added_dir/zorvane-added.exe"
head -c 64 /dev/urandom >>"$added_dir/zorvane-added.exe"
wine_run 'C:\zorvane-e2e\zorvane-added.exe' >/dev/null 2>&1 &
for _ in $(seq 120); do
  wine_run winedbg --command "info proc" 2>/dev/null | grep -q "'zorvane-added.exe'" && break
  sleep 0.5
done
logged=$(wc -l <"$out/service.log")
status=0
run_client "$client_build" "$SERVICE_PORT" "$CLIENT_EXE" >"$out/client-2.log" 2>&1 || status=$?
second=$(report_address "$out/service.log" $((logged + 1)) "$out/scans.sqlite")
if [ -z "$second" ] || [ "$second" = "$address" ]; then
  echo "e2e: FAIL: the second scan (exit status $status) was not stored" >&2
  exit 1
fi
echo "e2e: second report at $second"
curl -fsS "$second.json" -o "$out/report-2.json"
python3 tests/e2e/check_change.py --report "$out/report-2.json" --first-id "${address##*/}" \
  --known-md5 "$known_md5" --set e2e-rds --product "$known_product" --added zorvane-added.exe
# The second report in the browser too, its artefacts in a folder of their own.
mkdir -p "$out/second"
python3 tests/e2e/browser_check.py "$second" "$out/second"
echo "e2e: passed; artefacts in $out/"
