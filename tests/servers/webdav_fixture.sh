#!/usr/bin/env bash
# The WebDAV fixture server (webdav_fixture.py) on loopback.
#   webdav_fixture.sh start STATE_DIR [tls|tls-client]   -> prints the port; with "tls"
#       it speaks https with a fresh self-signed certificate; with "tls-client" it also
#       demands the client certificate STATE_DIR/client.pem
#   webdav_fixture.sh stop STATE_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=background_server.sh
. "$here/background_server.sh"
cmd=${1:?start|stop}; state=${2:?state folder}
case $cmd in
start)
  rm -rf "$state"; mkdir -p "$state"
  tls=()
  if [ "${3:-}" = tls ] || [ "${3:-}" = tls-client ]; then
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
      -keyout "$state/key.pem" -out "$state/cert.pem" >/dev/null 2>&1
    tls=("$state/cert.pem" "$state/key.pem")
  fi
  if [ "${3:-}" = tls-client ]; then
    # A client certificate (with its key, in one PEM file) that the server demands.
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=hvm-client \
      -keyout "$state/client-key.pem" -out "$state/client-cert.pem" >/dev/null 2>&1
    cat "$state/client-cert.pem" "$state/client-key.pem" >"$state/client.pem"
    tls+=("$state/client-cert.pem")
  fi
  start_background "$state" "$state/fixture.log" \
    /usr/bin/python3 "$here/webdav_fixture.py" "$state/port" "${tls[@]}"
  ;;
stop) stop_background "$state" ;;
*) echo "usage: $0 start|stop STATE_DIR" >&2; exit 2 ;;
esac
