#!/usr/bin/env bash
# Apache with mod_dav and mod_dav_fs on loopback, with a fresh folder.
#   apache_webdav.sh start STATE_DIR   -> prints the port; /dav/ is open,
#                                          /auth/ needs user "hvm" password "secret"
#   apache_webdav.sh stop STATE_DIR
# The shared folder is STATE_DIR/data (served as /dav/) and STATE_DIR/auth.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cmd=${1:?start|stop}; state=${2:?state folder}
modules=/usr/lib/apache2/modules

wait_for_port() {
  for _ in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  return 1
}

case $cmd in
start)
  rm -rf "$state"; mkdir -p "$state"/{data,auth,logs,run,lock}
  state=$(cd "$state" && pwd)
  port=$(/usr/bin/python3 "$here/free_port.py")
  user_lines=""
  if [ "$(id -u)" -eq 0 ]; then
    # Apache refuses to serve as root; its workers run as www-data.
    chown -R www-data:www-data "$state"/{data,auth,lock,run}
    # The workers must be able to walk down to the state folder.
    d=$state
    while [ "$d" != / ]; do chmod o+x "$d"; d=$(dirname "$d"); done
    user_lines="User www-data
Group www-data"
  fi
  htpasswd -bcs "$state/passwd" hvm secret >/dev/null 2>&1
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
LoadModule authn_core_module $modules/mod_authn_core.so
LoadModule authn_file_module $modules/mod_authn_file.so
LoadModule authz_user_module $modules/mod_authz_user.so
LoadModule auth_basic_module $modules/mod_auth_basic.so
LoadModule mime_module $modules/mod_mime.so
LoadModule alias_module $modules/mod_alias.so
LoadModule dav_module $modules/mod_dav.so
LoadModule dav_fs_module $modules/mod_dav_fs.so
LogFormat "%h %r %>s %b" plain
CustomLog "$state/logs/access.log" plain
TypesConfig /etc/mime.types
DAVLockDB "$state/lock/DAVLock"
MaxKeepAliveRequests 0
KeepAliveTimeout 30
Timeout 30
LimitXMLRequestBody 0
# Since 2.4.54 the default body limit is 1 GiB; uploads of any size are allowed.
LimitRequestBody 0
Alias /dav "$state/data"
Alias /auth "$state/auth"
<Directory />
  AllowOverride None
</Directory>
<Directory "$state/data">
  Dav On
  DavDepthInfinity On
  Require all granted
</Directory>
# Nothing below nocopy/ is copied by the server (COPY answers 403): clients
# must carry such a file's bytes themselves.
<Directory "$state/data/nocopy">
  <Limit COPY>
    Require all denied
  </Limit>
</Directory>
<Directory "$state/auth">
  Dav On
  AuthType Basic
  AuthName "hvm"
  AuthUserFile "$state/passwd"
  Require valid-user
</Directory>
CONF
  /usr/sbin/apache2 -f "$state/httpd.conf" -k start
  wait_for_port "$port" || { cat "$state/logs/error.log" >&2; exit 1; }
  echo "$port" >"$state/port"
  echo "$port"
  ;;
stop)
  [ -f "$state/httpd.conf" ] || exit 0
  if [ -f "$state/run/httpd.pid" ]; then
    pid=$(cat "$state/run/httpd.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  fi
  ;;
*) echo "usage: $0 start|stop STATE_DIR" >&2; exit 2 ;;
esac
