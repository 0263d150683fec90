#!/usr/bin/env bash
# OpenSSH sshd on loopback with a throw-away host key and a test account.
#   sshd_sftp.sh start STATE_DIR [kbdint]  -> prints the port
#   sshd_sftp.sh kill STATE_DIR            -> the server and every session die at once
#   sshd_sftp.sh stop STATE_DIR            -> as kill, then the account goes again
#   sshd_sftp.sh restart STATE_DIR         -> the server again on its port
#   sshd_sftp.sh rekey STATE_DIR           -> a new host key (restarts the server on its port)
# The account's name is in STATE_DIR/user, its password is "secret", its
# private key STATE_DIR/client_key; its files live in STATE_DIR/data.
# "kbdint" offers keyboard-interactive authentication only (PAM asks "Password:").
# Needs root: the account is a real one, made with useradd and removed at stop.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cmd=${1:?start|stop|kill|restart|rekey}; state=${2:?state folder}; mode=${3:-password}

wait_for_port() {
  for _ in $(seq 1 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  return 1
}

# Every process below pid, deepest first, then pid itself.
kill_tree() {
  local pid=$1 child
  for child in $(ps -o pid= --ppid "$pid" 2>/dev/null); do kill_tree "$child"; done
  kill -KILL "$pid" 2>/dev/null || true
}

kill_server() {
  [ -f "$state/sshd.pid" ] || return 0
  local pid; pid=$(cat "$state/sshd.pid")
  # Only an sshd started from this folder's configuration is ended.
  if grep -qF "$state/sshd_config" "/proc/$pid/cmdline" 2>/dev/null; then kill_tree "$pid"; fi
  rm -f "$state/sshd.pid"
}

start_server() {
  /usr/sbin/sshd -f "$state/sshd_config" -E "$state/sshd.log"
  wait_for_port "$(cat "$state/port")" || { cat "$state/sshd.log" >&2; exit 1; }
  for _ in $(seq 1 100); do [ -s "$state/sshd.pid" ] && break; sleep 0.05; done
}

case $cmd in
start)
  [ "$(id -u)" -eq 0 ] || { echo "sshd_sftp.sh needs root (it makes a test account)" >&2; exit 77; }
  rm -rf "$state"; mkdir -p "$state"/{data,keys}
  state=$(cd "$state" && pwd)
  user="hvm$(printf %s "$state" | sha1sum | cut -c1-9)"
  echo "$user" >"$state/user"
  id "$user" >/dev/null 2>&1 || useradd -M -N -d "$state/data" -s /bin/sh "$user"
  echo "$user:secret" | chpasswd
  chown "$user" "$state/data"
  d=$state
  while [ "$d" != / ]; do chmod o+x "$d"; d=$(dirname "$d"); done
  ssh-keygen -q -t ed25519 -N "" -f "$state/host_key" -C hvm-test-host
  ssh-keygen -q -t ed25519 -N "" -f "$state/client_key" -C hvm-test-client
  cp "$state/client_key.pub" "$state/keys/$user"
  port=$(/usr/bin/python3 "$here/free_port.py"); echo "$port" >"$state/port"
  if [ "$mode" = kbdint ]; then
    auth="PasswordAuthentication no
PubkeyAuthentication no
KbdInteractiveAuthentication yes
UsePAM yes"
  else
    auth="PasswordAuthentication yes
PubkeyAuthentication yes
KbdInteractiveAuthentication no
UsePAM yes"
  fi
  mkdir -p /run/sshd; chmod 0755 /run/sshd
  cat >"$state/sshd_config" <<CONF
Port $port
ListenAddress 127.0.0.1
HostKey $state/host_key
PidFile $state/sshd.pid
AuthorizedKeysFile $state/keys/%u
StrictModes no
AllowUsers $user
$auth
PermitRootLogin no
Subsystem sftp internal-sftp
MaxStartups 50
MaxSessions 50
LogLevel VERBOSE
CONF
  start_server
  echo "$port"
  ;;
rekey)
  kill_server
  rm -f "$state/host_key" "$state/host_key.pub"
  ssh-keygen -q -t ed25519 -N "" -f "$state/host_key" -C hvm-test-host
  start_server
  ;;
kill)
  kill_server
  ;;
restart)
  kill_server
  start_server
  ;;
stop)
  kill_server
  if [ -f "$state/user" ]; then
    user=$(cat "$state/user")
    id "$user" >/dev/null 2>&1 && userdel -f "$user" 2>/dev/null || true
  fi
  ;;
*) echo "unknown command $cmd" >&2; exit 2 ;;
esac
