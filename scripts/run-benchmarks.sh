#!/usr/bin/env bash
# Runs the benchmarks of an existing build back to back: the digests natively
# (ours against OpenSSL) and as the Windows program under Wine (i686 where
# the host runs 32-bit programs, else x86-64 under wine64), the
# scan over a generated fixture against OpenSSL on the same files (and under
# Wine through the Win32 file adapter against ReadFile and our digests), the
# submit encoding against zlib alone, the service's ingest over loopback HTTP
# against the same exchanges in-process, the client's peak memory under Wine
# against a trivial Win32 program, the network pass's handle rate, and a 1,000,000-row known-file set's
# import against parsing it alone (with a report's read with and without the set). It builds nothing: run `make release
# win32` first (the `make bench` target does; it builds win64 as well). Every benchmark's last line is
# its ratio; the summary at the end repeats them, with the i686 digest
# throughput set against the native OpenSSL baseline measured in the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
# The Windows programs of the tree this host can run: the i686 one where it
# executes 32-bit programs, else the x86-64 one under wine64.
source scripts/service-lib.sh
pick_client
win=$CLIENT_BUILD
echo "run-benchmarks: Windows programs from $win ($CLIENT_WHY)"

native=build/release/bench/digest_bench
windows=$win/bench/digest_bench.exe
scan=build/release/bench/scan_bench
submit=build/release/bench/submit_bench
ingest=build/release/bench/ingest_bench
sets=build/release/bench/import_bench
ranking=build/release/bench/ranking_bench
network=$win/bench/network_pass.exe
windows_scan=$win/bench/scan_bench.exe
for program in "$native" "$windows" "$scan" "$windows_scan" "$submit" "$ingest" "$sets" "$ranking" "$network" \
  $win/bench/trivial_win32.exe \
  $win/$CLIENT_EXE build/release/service/zorvane-service; do
  if [ ! -f "$program" ]; then
    echo "run-benchmarks: $program is missing; build it with: make release win32" >&2
    exit 1
  fi
done

native_out=$(mktemp)
windows_out=$(mktemp)
scan_out=$(mktemp)
submit_out=$(mktemp)
ingest_out=$(mktemp)
pg_out=$(mktemp)
memory_out=$(mktemp)
network_out=$(mktemp)
windows_scan_out=$(mktemp)
export_out=$(mktemp)
sets_out=$(mktemp)
ranking_out=$(mktemp)
cleanup() {
  rm -f "$native_out" "$windows_out" "$scan_out" "$submit_out" "$ingest_out" "$memory_out" "$network_out" "$pg_out" \
    "$windows_scan_out" "$export_out" "$sets_out" "$ranking_out"
  WINEPREFIX="$PWD/$win/wineprefix" wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

echo "== native x86-64: ours against OpenSSL"
"$native" | tee "$native_out"
echo
echo "== i686 under Wine"
ZORVANE_NO_XVFB=1 $win/wine-run.sh "$windows" | tr -d '\r' | tee "$windows_out"
echo
echo "== native x86-64: the scan's file steps against OpenSSL on the same files"
"$scan" | tee "$scan_out"
echo
echo "== i686 under Wine: the scan's file steps through the Win32 file adapter against ReadFile and our digests"
ZORVANE_NO_XVFB=1 $win/wine-run.sh "$windows_scan" | tr -d '\r' | tee "$windows_scan_out"
echo
echo "== native x86-64: submit encoding against zlib alone"
"$submit" | tee "$submit_out"
echo
echo "== native x86-64: service ingest over loopback HTTP against the same exchanges in-process"
"$ingest" | tee "$ingest_out"
echo
echo "== native x86-64: a report and an ingest with the ranking counts, against the same without them"
"$ranking" | tee "$ranking_out"
echo
echo "== under Wine: zorvane.exe's peak resident set during a full scan against a trivial Win32 program"
if [ -n "${DISPLAY:-}" ]; then
  bench/client_memory.sh | tr -d '\r' | tee "$memory_out"
else
  xvfb-run -a -s "-screen 0 1024x768x24" bench/client_memory.sh | tr -d '\r' | tee "$memory_out"
fi
echo
echo "== under Wine: the network extractor's handle-table pass"
ZORVANE_NO_XVFB=1 $win/wine-run.sh "$network" | tr -d '\r' | tee "$network_out"
echo
echo "== native x86-64: eight JSON exports of the largest scan at once, against the service's resident size before them"
bench/export_memory.sh | tee "$export_out"
echo
echo "== native x86-64: importing a 1,000,000-row RDS set into SQLite against parsing it alone"
"$sets" | tee "$sets_out"
echo
echo "== native x86-64: service ingest on PostgreSQL, one service instance against two"
bench/ingest_pg.sh --rounds 2 --scans 80 | tee "$pg_out"
echo

# The number before " MiB/s" on the line that starts with the given label.
rate() {
  sed -n "s|^$2: \([0-9.]*\) MiB/s\$|\1|p" "$1" | head -n 1
}
baseline=$(rate "$native_out" "OpenSSL MD5 then SHA-1")
i686=$(rate "$windows_out" "i686 MD5+SHA-1")
if [ -z "$baseline" ] || [ -z "$i686" ]; then
  echo "run-benchmarks: a benchmark printed no throughput" >&2
  exit 1
fi
echo "native OpenSSL MD5 then SHA-1: $baseline MiB/s"
echo "i686 MD5+SHA-1 (HashExtractor): $i686 MiB/s"
awk -v ours="$i686" -v base="$baseline" 'BEGIN { printf "ratio i686/native OpenSSL: %.2f\n", ours / base }'
tail -n 1 "$scan_out"
tail -n 2 "$windows_scan_out"
tail -n 1 "$submit_out"
tail -n 2 "$ingest_out"
grep '^ranking: in-process' "$ingest_out" || true
tail -n 1 "$ranking_out"
tail -n 1 "$memory_out"
tail -n 1 "$network_out"
tail -n 1 "$export_out"
tail -n 2 "$sets_out"
tail -n 1 "$pg_out"
