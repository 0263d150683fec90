#!/usr/bin/env bash
# vsftpd on loopback: anonymous log-in (no password asked) with every write
# right in the folder /data (STATE_DIR/data, a link to STATE_DIR/root/data:
# vsftpd refuses a start folder the ftp user may write to), listings with
# LIST only (vsftpd has no MLSD).
#   vsftpd_ftp.sh start STATE_DIR [plain|explicit|implicit]  -> prints the port
#       explicit: AUTH TLS required; implicit: TLS from the first byte;
#       both with a fresh self-signed certificate in STATE_DIR/cert.pem
#   vsftpd_ftp.sh stop STATE_DIR
# vsftpd needs root (it changes into the ftp user for each session).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cmd=${1:?start|stop}; state=${2:?state folder}
case $cmd in
start)
  [ -x /usr/sbin/vsftpd ] || { echo "vsftpd is not installed" >&2; exit 1; }
  rm -rf "$state"; mkdir -p "$state/root/data" "$state/empty"
  chmod 755 "$state" "$state/root" "$state/empty"
  chown ftp:ftp "$state/root/data"
  ln -s root/data "$state/data"
  port=$(/usr/bin/python3 "$here/free_port.py")
  cat >"$state/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=YES
local_enable=NO
no_anon_password=YES
anon_root=$state/root
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_world_readable_only=NO
anon_umask=022
allow_writeable_chroot=YES
secure_chroot_dir=$state/empty
connect_from_port_20=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
utf8_filesystem=YES
use_localtime=NO
max_clients=0
max_per_ip=0
idle_session_timeout=${VSFTPD_IDLE_SECONDS:-300}
data_connection_timeout=300
xferlog_enable=YES
xferlog_std_format=NO
vsftpd_log_file=$state/vsftpd.log
log_ftp_protocol=YES
CONF
  mode=${3:-plain}
  if [ "$mode" != plain ]; then
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
      -keyout "$state/key.pem" -out "$state/cert.pem" >/dev/null 2>&1
    cat >>"$state/vsftpd.conf" <<CONF
ssl_enable=YES
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
require_ssl_reuse=NO
rsa_cert_file=$state/cert.pem
rsa_private_key_file=$state/key.pem
CONF
    [ "$mode" = implicit ] && echo "implicit_ssl=YES" >>"$state/vsftpd.conf"
  fi
  # Its own session, so that stopping ends every connection's process too.
  setsid /usr/sbin/vsftpd "$state/vsftpd.conf" >"$state/stdout.log" 2>&1 &
  echo $! >"$state/pid"
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.05
  done
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { cat "$state/stdout.log" >&2; exit 1; }
  echo "$port" >"$state/port"
  echo "$port"
  ;;
stop)
  [ -f "$state/pid" ] || exit 0
  pid=$(cat "$state/pid")
  # The listener and every session process it forked (sessions run in
  # sessions of their own and outlive the listener), by their ids.
  family=$(ps -e -o pid=,ppid= | awk -v root="$pid" '
    { parent[$1] = $2 }
    END { keep[root] = 1; changed = 1
          while (changed) { changed = 0
            for (p in parent) if (!(p in keep) && (parent[p] in keep)) { keep[p] = 1; changed = 1 } }
          for (p in keep) print p }')
  # shellcheck disable=SC2086
  kill -KILL $family 2>/dev/null || true
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  rm -f "$state/pid"
  ;;
*) echo "usage: $0 start|stop STATE_DIR [plain|explicit|implicit]" >&2; exit 2 ;;
esac
