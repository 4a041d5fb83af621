#!/usr/bin/env bash
# Peak resident size of the release zorvane-service while eight clients
# export the largest scan it accepts (50,000 records, 100,000 module ids)
# as JSON at once, set against its resident size just before the exports
# (the baseline, measured in the same run). Runs the service tests' export
# check at full size against the release program. The last line: the
# growth in MiB and its ratio to the baseline.
set -euo pipefail
cd "$(dirname "$0")/.."
tests=build/release/tests/service/zorvane_service_tests
service=build/release/service/zorvane-service
for f in "$tests" "$service"; do
  [ -x "$f" ] || { echo "export_memory: $f is missing; build it with: make release" >&2; exit 1; }
done
out=$(mktemp)
trap 'rm -f "$out"' EXIT
ZORVANE_EXPORT_TENTHS=10 ZORVANE_SERVICE_UNDER_TEST="$PWD/$service" \
  "$tests" --gtest_filter='ServiceProgramHttp.ConcurrentExports*' | tee "$out"
grep -q '^\[  PASSED  \]' "$out" || { echo "export_memory: the export check failed" >&2; exit 1; }
sed -n 's/.*resident \([0-9]*\) MiB before, peak \([0-9]*\) MiB.*/\1 \2/p' "$out" | head -n 1 |
  awk '{ printf "export memory: +%d MiB over a %d MiB baseline, peak/baseline %.2f\n", $2 - $1, $1, $2 / $1 }'
