#!/usr/bin/env bash
# An HTTPS file server on loopback with a certificate authority of its own.
#   https_files.sh start STATE_DIR  -> prints the port; serves STATE_DIR/site;
#       the authority's certificate is STATE_DIR/ca.pem (trust it to connect)
#   https_files.sh stop STATE_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=background_server.sh
. "$here/background_server.sh"
cmd=${1:?start|stop}; state=${2:?state folder}
case $cmd in
start)
  rm -rf "$state"; mkdir -p "$state/site"
  (
    cd "$state"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Halvenmoor test authority" \
      -keyout ca.key -out ca.pem -addext "basicConstraints=critical,CA:TRUE" \
      -addext "keyUsage=critical,keyCertSign" 2>/dev/null
    openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout server.key -out server.csr 2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' > server.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
      -extfile server.ext -out server.pem 2>/dev/null
  )
  start_background "$state" "$state/server.log" \
    /usr/bin/python3 "$here/https_files.py" "$state/site" "$state/server.pem" "$state/server.key" "$state/port"
  ;;
stop) stop_background "$state" ;;
*) echo "usage: $0 start|stop STATE_DIR" >&2; exit 2 ;;
esac
