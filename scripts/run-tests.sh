#!/usr/bin/env bash
# Runs the test lanes, every one by default, or those named:
#   native   the native tests (ASan + UBSan), with the preset that
#            ZORVANE_NATIVE_PRESET names (native unless set; .ci/run sets ci)
#   win64    the Windows tests of zorvane64.exe's tree under wine64
#   win32    the Windows tests of zorvane.exe's tree under 32-bit Wine, where
#            the host executes 32-bit programs; elsewhere only the checks of
#            the image that need no Wine, and one line saying so
#   e2e      the end-to-end run on SQLite, the relaunch of zorvane.exe as a
#            WOW64 process (where the host executes 32-bit programs), then
#            e2e-pg
#   e2e-pg   the end-to-end run with two instances on PostgreSQL behind nginx
# Exits non-zero when any fails.
set -uo pipefail
cd "$(dirname "$0")/.."

lanes=("$@")
[ ${#lanes[@]} -gt 0 ] || lanes=(native win64 win32 e2e)
for lane in "${lanes[@]}"; do
  case "$lane" in
    native | win64 | win32 | e2e | e2e-pg) ;;
    *) echo "run-tests: unknown lane '$lane' (native, win64, win32, e2e, e2e-pg)" >&2; exit 2 ;;
  esac
done
wants() { [[ " ${lanes[*]} " == *" $1 "* ]]; }

# The Wine server and Wine's own services outlive the program that starts
# them, holding on to its output; started by a test, they keep ctest waiting
# on that test until the lane ends. So the lane starts them first, detached.
windows_lane() {
  local tree=$1
  shift
  local prefix="$PWD/build/$tree/wineprefix"
  xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    tree=$1 prefix=$2
    shift 2
    if [ -x "build/$tree/wine-run.sh" ]; then
      WINEPREFIX="$prefix" wineserver -p </dev/null >/dev/null 2>&1 || true
      "build/$tree/wine-run.sh" wineboot </dev/null >/dev/null 2>&1 || true
    fi
    exec ctest --preset "$tree" "$@"' lane "$tree" "$prefix" "$@"
  local rc=$?
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  return $rc
}

status=0
if wants native; then
  ctest --preset "${ZORVANE_NATIVE_PRESET:-native}" || status=1
fi
if wants win64; then
  windows_lane win64 || status=1
fi
if wants win32; then
  if reason=$(scripts/host-runs-32bit.sh -v); then
    windows_lane win32 || status=1
  else
    echo "run-tests: SKIPPED the 32-bit Wine lane: this host cannot run 32-bit Windows programs ($reason);" \
      "zorvane.exe was built and its image checked without Wine, and zorvane64.exe ran every Windows test"
    ctest --preset win32 || status=1
  fi
fi
if wants e2e; then
  tests/e2e/run_e2e.sh
  rc=$?
  [ $rc -eq 0 ] || [ $rc -eq 77 ] || status=1
fi
if wants e2e; then
  tests/e2e/run_wow64.sh
  rc=$?
  [ $rc -eq 0 ] || [ $rc -eq 77 ] || status=1
fi
if wants e2e || wants e2e-pg; then
  tests/e2e/run_e2e_pg.sh
  rc=$?
  [ $rc -eq 0 ] || [ $rc -eq 77 ] || status=1
fi
exit $status
