#!/usr/bin/env bash
# Runs the native tests, then the Windows tests under Wine on one virtual
# display, and stops the Wine server afterwards, then the end-to-end run of
# the client against the service, on SQLite and then with two instances on
# PostgreSQL behind nginx. Exits non-zero when any fails.
set -uo pipefail
cd "$(dirname "$0")/.."

what="${1:-all}"
status=0
if [ "$what" = all ] || [ "$what" = native ]; then
  ctest --preset native || status=1
fi
if [ "$what" = all ] || [ "$what" = win32 ]; then
  xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset win32 || status=1
  WINEPREFIX="$PWD/build/win32/wineprefix" wineserver -k 2>/dev/null || true
fi
if [ "$what" = all ] || [ "$what" = e2e ]; then
  tests/e2e/run_e2e.sh
  rc=$?
  [ $rc -eq 0 ] || [ $rc -eq 77 ] || status=1
fi
if [ "$what" = all ] || [ "$what" = e2e ] || [ "$what" = e2e-pg ]; then
  tests/e2e/run_e2e_pg.sh
  rc=$?
  [ $rc -eq 0 ] || [ $rc -eq 77 ] || status=1
fi
exit $status
