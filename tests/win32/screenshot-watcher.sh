#!/usr/bin/env bash
# Takes the window tests' screenshots with ImageMagick on the Linux side.
# A test (under Wine) writes DIR/NAME.request: its X display, its X
# authority file (may be empty) and the geometry WxH+X+Y to capture; the
# watcher writes DIR/NAME.png and then DIR/NAME.done.
#   screenshot-watcher.sh start DIR   starts the watcher in the background
#   screenshot-watcher.sh stop DIR    stops it
# The watcher also stops on its own when DIR/watcher.pid goes away or after
# 30 minutes, so an aborted test run leaves nothing behind.
set -u
command=$1
dir=$2
mkdir -p "$dir"

case "$command" in
start)
  "$0" stop "$dir"
  setsid "$0" run "$dir" </dev/null >/dev/null 2>&1 &
  for _ in $(seq 50); do
    [ -f "$dir/watcher.pid" ] && exit 0
    sleep 0.1
  done
  echo "screenshot watcher did not start" >&2
  exit 1
  ;;
stop)
  if [ -f "$dir/watcher.pid" ]; then
    kill "$(cat "$dir/watcher.pid")" 2>/dev/null
    rm -f "$dir/watcher.pid"
  fi
  exit 0
  ;;
run)
  echo $$ >"$dir/watcher.pid"
  end=$((SECONDS + 1800))
  while [ $SECONDS -lt $end ] && [ "$(cat "$dir/watcher.pid" 2>/dev/null)" = "$$" ]; do
    for request in "$dir"/*.request; do
      [ -e "$request" ] || continue
      name=$(basename "$request" .request)
      { read -r display; read -r authority; read -r geometry; } < <(tr -d '\r' <"$request")
      env ${authority:+XAUTHORITY="$authority"} DISPLAY="$display" \
        import -window root -crop "$geometry" +repage "$dir/$name.png" 2>"$dir/$name.log"
      rm -f "$request"
      touch "$dir/$name.done"
    done
    sleep 0.2
  done
  ;;
esac
