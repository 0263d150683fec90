#!/usr/bin/env bash
# lighttpd with mod_webdav on loopback, with a fresh folder.
#   lighttpd_webdav.sh start STATE_DIR   -> prints the port; the folder
#                                            STATE_DIR/data is served as /dav/
#   lighttpd_webdav.sh stop STATE_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cmd=${1:?start|stop}; state=${2:?state folder}

wait_for_port() {
  for _ in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  return 1
}

case $cmd in
start)
  rm -rf "$state"; mkdir -p "$state"/{logs,run} "$state/www/dav"
  # lighttpd refuses to list through a symbolic link; the link points the other way.
  ln -s www/dav "$state/data"
  state=$(cd "$state" && pwd)
  port=$(/usr/bin/python3 "$here/free_port.py")
  cat >"$state/lighttpd.conf" <<CONF
server.modules = ( "mod_webdav" )
server.document-root = "$state/www"
server.bind = "127.0.0.1"
server.port = $port
server.pid-file = "$state/run/lighttpd.pid"
server.errorlog = "$state/logs/error.log"
server.max-keep-alive-requests = 10000
server.stat-cache-engine = "disable"
mimetype.assign = ( "" => "application/octet-stream" )
\$HTTP["url"] =~ "^/dav/" {
  webdav.activate = "enable"
  webdav.is-readonly = "disable"
  webdav.sqlite-db-name = "$state/run/webdav.db"
}
CONF
  /usr/sbin/lighttpd -f "$state/lighttpd.conf"
  wait_for_port "$port" || { cat "$state/logs/error.log" >&2; exit 1; }
  echo "$port" >"$state/port"
  echo "$port"
  ;;
stop)
  if [ -f "$state/run/lighttpd.pid" ]; then
    pid=$(cat "$state/run/lighttpd.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  fi
  ;;
*) echo "usage: $0 start|stop STATE_DIR" >&2; exit 2 ;;
esac
