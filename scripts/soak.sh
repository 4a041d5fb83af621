#!/usr/bin/env bash
# The load run against the real zorvane-service: eight clients ingest scans
# and read their reports for SECONDS (60 unless told otherwise), then the
# run checks that no request failed and that the service's resident size
# stayed at its post-warm-up level. `make test` runs the same test for 8 s.
#
#   scripts/soak.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
case $seconds in
  ''|*[!0-9]*) echo "usage: scripts/soak.sh [SECONDS]" >&2; exit 2 ;;
esac
scripts/bootstrap.sh
cmake --preset native >/dev/null
cmake --build build/native -j2 --target zorvane_service_tests zorvane-service
ZORVANE_LOAD_SECONDS=$seconds build/native/tests/service/zorvane_service_tests \
  --gtest_filter='ServiceProgramLoad.*'
