#!/usr/bin/env bash
# Service ingest on PostgreSQL: a throwaway cluster, two release
# zorvane-service processes on it, and ingest_bench driving first one of
# them, then both round-robin. The in-process baseline of each pass opens
# the same database. Last line: the rate with two instances over the rate
# with one. Both instances share this machine's cores with the cluster and
# the clients, so the ratio shows what a second process costs or gains
# here, not what a second machine would.
#
#   bench/ingest_pg.sh [ingest_bench options...]   (after `make release`)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/service-lib.sh

service=build/release/service/zorvane-service
bench=build/release/bench/ingest_bench
for program in "$service" "$bench"; do
  [ -x "$program" ] || { echo "ingest_pg: $program is not built (make release)" >&2; exit 1; }
done

state=$(mktemp -d)
chmod 755 "$state"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  scripts/pg-cluster.sh stop "$state/pg" >/dev/null 2>&1 || true
  rm -rf "$state"
}
trap cleanup EXIT

scripts/pg-cluster.sh start "$state/pg" >/dev/null
if [ -f "$state/pg/absent" ]; then
  echo "ingest_pg: no PostgreSQL server programs: $(cat "$state/pg/absent")" >&2
  exit 1
fi
url=$(cat "$state/pg/url")

ports=()
for instance in a b; do
  start_service "$service" "$url" "$state/service-$instance.log" --scans-per-address 0
  pids+=("$SERVICE_PID")
  ports+=("$SERVICE_PORT")
done

rate() { sed -n "s|^HTTP, $2 clients*: \([0-9.]*\) scans/s\$|\1|p" "$1" | head -n 1; }
one_url=(--url "http://127.0.0.1:${ports[0]}")
two_urls=(--url "http://127.0.0.1:${ports[0]}" --url "http://127.0.0.1:${ports[1]}")
# One instance before and after two, so that the database's growth during
# the run weighs on both sides alike.
echo "== one instance"
"$bench" --db "$url" "${one_url[@]}" "$@" | tee "$state/one-a.txt"
echo
echo "== two instances, round-robin"
"$bench" --db "$url" "${two_urls[@]}" "$@" | tee "$state/two.txt"
echo
echo "== one instance again"
"$bench" --db "$url" "${one_url[@]}" "$@" | tee "$state/one-b.txt"
echo
most=$(sed -n 's|^ratio HTTP(\([0-9]*\))/in-process.*|\1|p' "$state/one-a.txt" | head -n 1)
one_a=$(rate "$state/one-a.txt" "$most")
one_b=$(rate "$state/one-b.txt" "$most")
two=$(rate "$state/two.txt" "$most")
if [ -z "$one_a" ] || [ -z "$one_b" ] || [ -z "$two" ]; then
  echo "ingest_pg: a pass printed no rate" >&2
  exit 1
fi
echo "PostgreSQL, HTTP at $most clients: one instance $one_a and $one_b scans/s, two instances $two scans/s"
awk -v a="$one_a" -v b="$one_b" -v two="$two" \
  'BEGIN { printf "ratio two instances/one on PostgreSQL: %.2f\n", two / ((a + b) / 2) }'
