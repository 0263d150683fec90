#!/usr/bin/env bash
# The forward proxy (forward_proxy.py) on loopback.
#   forward_proxy.sh start STATE_DIR   -> prints the port; forwarded requests are
#       listed in STATE_DIR/requests.log, one "METHOD URI" a line
#   forward_proxy.sh stop STATE_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cmd=${1:?start|stop}; state=${2:?state folder}
case $cmd in
start)
  rm -rf "$state"; mkdir -p "$state"
  /usr/bin/python3 "$here/forward_proxy.py" "$state/port" "$state/requests.log" >"$state/proxy.log" 2>&1 &
  echo $! >"$state/pid"
  for _ in $(seq 1 100); do [ -f "$state/port" ] && break; sleep 0.05; done
  [ -f "$state/port" ] || { cat "$state/proxy.log" >&2; exit 1; }
  cat "$state/port"; echo
  ;;
stop)
  if [ -f "$state/pid" ]; then
    pid=$(cat "$state/pid"); kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  fi
  ;;
*) echo "usage: $0 start|stop STATE_DIR" >&2; exit 2 ;;
esac
