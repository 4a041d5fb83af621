#!/usr/bin/env bash
# The main job. For now the client starts its window under Wine on a virtual
# display and closes it again; the service and the full scan come next.
set -euo pipefail
cd "$(dirname "$0")/.."
export ZORVANE_NO_XVFB=
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  build/win32/wine-run.sh build/win32/zorvane.exe /nobrowser &
  pid=$!
  sleep 8
  kill $pid 2>/dev/null || true
  wait $pid 2>/dev/null || true
'
WINEPREFIX="$PWD/build/win32/wineprefix" wineserver -k 2>/dev/null || true
echo "demo: the client window started; the scan and the service are not built yet"
