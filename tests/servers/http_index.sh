#!/usr/bin/env bash
# A web server on loopback that offers a folder only through its generated
# index pages (no WebDAV): Apache mod_autoindex, nginx autoindex, lighttpd
# dirlisting or Python's http.server.
#   http_index.sh start STATE_DIR apache|nginx|lighttpd|python|python-heads   -> prints the port;
#                      the folder STATE_DIR/data is served as /pub/
#   http_index.sh stop STATE_DIR
# python-heads is Python's server holding each HEAD until another is in
# flight (held_heads.py). nginx logs each request's method, path, Accept, Range and Content-Type in
# STATE_DIR/logs/access.log.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/background_server.sh"
cmd=${1:?start|stop}; state=${2:?state folder}
modules=/usr/lib/apache2/modules

wait_for_port() {
  for _ in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  return 1
}

start_apache() {
  local user_lines=""
  if [ "$(id -u)" -eq 0 ]; then
    chown -R www-data:www-data "$state/run"
    user_lines="User www-data
Group www-data"
  fi
  cat >"$state/httpd.conf" <<CONF
ServerRoot "$state"
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile "$state/run/httpd.pid"
ErrorLog "$state/logs/error.log"
LogLevel warn
$user_lines
LoadModule mpm_event_module $modules/mod_mpm_event.so
LoadModule authz_core_module $modules/mod_authz_core.so
LoadModule mime_module $modules/mod_mime.so
LoadModule alias_module $modules/mod_alias.so
LoadModule dir_module $modules/mod_dir.so
LoadModule autoindex_module $modules/mod_autoindex.so
TypesConfig /etc/mime.types
MaxKeepAliveRequests 0
KeepAliveTimeout 30
Alias /pub "$state/www/pub"
<Directory />
  AllowOverride None
  Require all denied
</Directory>
<Directory "$state/www/pub">
  Options Indexes
  IndexOptions FancyIndexing VersionSort HTMLTable NameWidth=* DescriptionWidth=* Charset=UTF-8
  Require all granted
</Directory>
CONF
  /usr/sbin/apache2 -f "$state/httpd.conf" -k start
}

start_nginx() {
  local user_line=""
  [ "$(id -u)" -eq 0 ] && user_line="user www-data www-data;"
  cat >"$state/nginx.conf" <<CONF
$user_line
daemon on;
worker_processes 1;
pid $state/run/nginx.pid;
error_log $state/logs/error.log;
events { worker_connections 256; }
http {
  # What each request asked for, for the tests.
  log_format asked '\$request_method \$uri accept="\$http_accept" range="\$http_range" type="\$http_content_type"';
  access_log $state/logs/access.log asked;
  client_body_temp_path $state/run/body;
  proxy_temp_path $state/run/proxy;
  fastcgi_temp_path $state/run/fastcgi;
  uwsgi_temp_path $state/run/uwsgi;
  scgi_temp_path $state/run/scgi;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $state/www;
    location /pub/ { autoindex on; charset utf-8; }
  }
}
CONF
  /usr/sbin/nginx -c "$state/nginx.conf" -p "$state"
}

start_lighttpd() {
  cat >"$state/lighttpd.conf" <<CONF
server.modules = ( "mod_dirlisting" )
server.document-root = "$state/www"
server.bind = "127.0.0.1"
server.port = $port
server.pid-file = "$state/run/lighttpd.pid"
server.errorlog = "$state/logs/error.log"
server.stat-cache-engine = "disable"
mimetype.assign = ( "" => "application/octet-stream" )
dir-listing.activate = "enable"
dir-listing.encoding = "utf-8"
CONF
  /usr/sbin/lighttpd -f "$state/lighttpd.conf"
}

case $cmd in
start)
  kind=${3:?apache|nginx|lighttpd|python}
  rm -rf "$state"; mkdir -p "$state"/{logs,run} "$state/www/pub"
  # lighttpd refuses to list through a symbolic link; the link points the other way.
  ln -s www/pub "$state/data"
  state=$(cd "$state" && pwd)
  # Workers that run as www-data must be able to walk down to the folder.
  d=$state
  while [ "$d" != / ]; do chmod o+x "$d"; d=$(dirname "$d"); done
  chmod 755 "$state/www" "$state/www/pub"
  port=$(/usr/bin/python3 "$here/free_port.py")
  echo "$kind" >"$state/kind"
  case $kind in
  apache) start_apache ;;
  nginx) start_nginx ;;
  lighttpd) start_lighttpd ;;
  python)
    /usr/bin/python3 -m http.server --bind 127.0.0.1 --directory "$state/www" "$port" \
      >"$state/logs/python.log" 2>&1 &
    echo $! >"$state/pid" ;;
  python-heads)
    /usr/bin/python3 "$here/held_heads.py" "$state" "$port" >"$state/logs/python.log" 2>&1 &
    echo $! >"$state/pid" ;;
  *) echo "unknown server kind $kind" >&2; exit 2 ;;
  esac
  wait_for_port "$port" || { cat "$state/logs/"* >&2; exit 1; }
  echo "$port" >"$state/port"
  echo "$port"
  ;;
stop)
  [ -f "$state/kind" ] || exit 0
  pid_file=""
  case $(cat "$state/kind") in
  apache) pid_file=$state/run/httpd.pid ;;
  nginx) pid_file=$state/run/nginx.pid ;;
  lighttpd) pid_file=$state/run/lighttpd.pid ;;
  python|python-heads) stop_background "$state"; exit 0 ;;
  esac
  if [ -f "$pid_file" ]; then
    pid=$(cat "$pid_file")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  fi
  ;;
*) echo "usage: $0 start STATE_DIR KIND | stop STATE_DIR" >&2; exit 2 ;;
esac
