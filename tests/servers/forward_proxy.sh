#!/usr/bin/env bash
# The forward proxy (forward_proxy.py) on loopback.
#   forward_proxy.sh start STATE_DIR   -> prints the port; forwarded requests are
#       listed in STATE_DIR/requests.log, one "METHOD URI" a line
#   forward_proxy.sh stop STATE_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=background_server.sh
. "$here/background_server.sh"
cmd=${1:?start|stop}; state=${2:?state folder}
case $cmd in
start)
  rm -rf "$state"; mkdir -p "$state"
  start_background "$state" "$state/proxy.log" \
    /usr/bin/python3 "$here/forward_proxy.py" "$state/port" "$state/requests.log"
  ;;
stop) stop_background "$state" ;;
*) echo "usage: $0 start|stop STATE_DIR" >&2; exit 2 ;;
esac
