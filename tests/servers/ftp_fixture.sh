#!/usr/bin/env bash
# The FTP fixture server (ftp_fixture.py, pyftpdlib) on loopback.
#   ftp_fixture.sh start STATE_DIR [mlsd|list|dos|odd] [tls] [idle=SECONDS]
#       -> prints the port; user hvm, password secret, files in STATE_DIR/data
#   ftp_fixture.sh stop STATE_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=background_server.sh
. "$here/background_server.sh"
cmd=${1:?start|stop}; state=${2:?state folder}
case $cmd in
start)
  rm -rf "$state"; mkdir -p "$state/data"
  mode=mlsd; tls=()
  for word in "${@:3}"; do
    case $word in
    mlsd|list|dos|odd) mode=$word ;;
    tls)
      openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
        -keyout "$state/key.pem" -out "$state/cert.pem" >/dev/null 2>&1
      tls=("$state/cert.pem" "$state/key.pem") ;;
    idle=*) echo "${word#idle=}" >"$state/idle" ;;
    "") ;;
    *) echo "unknown option $word" >&2; exit 2 ;;
    esac
  done
  start_background "$state" "$state/fixture.log" \
    /usr/bin/python3 "$here/ftp_fixture.py" "$state" "$mode" "${tls[@]}"
  ;;
stop) stop_background "$state" ;;
*) echo "usage: $0 start|stop STATE_DIR" >&2; exit 2 ;;
esac
