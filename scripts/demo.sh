#!/usr/bin/env bash
# The main job: a WebDAV site on this machine becomes a drive.
#
# Starts Apache mod_dav on loopback with a few sample files, the driver
# quenlode (unless one is already running), defines the site "demo" in the
# user's registry with moorsites, starts the agent moorgate, connects the
# site and works on its drive with ordinary commands.
#
# With a terminal on standard input everything keeps running until Enter or
# Ctrl-C; without one (CI, pipes) it stops again at once. Either way it ends
# by disconnecting the site and stopping what it started.
#
#   scripts/demo.sh            (after scripts/run.sh has built build/)
#   scripts/demo.sh --ftp      the same with an FTP site: vsftpd on loopback
#                              (as root), else the pyftpdlib test server
#   HVM_BUILD_DIR=other-build scripts/demo.sh
set -euo pipefail

protocol=webdav
for arg in "$@"; do
  case $arg in
  --ftp) protocol=ftp ;;
  *) echo "usage: $0 [--ftp]" >&2; exit 2 ;;
  esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
build=${HVM_BUILD_DIR:-$root/build}
case $build in /*) ;; *) build=$root/$build ;; esac
bin=$build/bin
servers=$root/tests/servers
site=demo
[ "$protocol" = ftp ] && site=demoftp
# Every step that touches the mount has a bound, so a fault shows instead of hanging.
step_timeout=60

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
show() { printf '$ %s\n' "$*"; timeout "$step_timeout" "$@"; }

for program in quenlode moorgate moorsites; do
  [ -x "$bin/$program" ] || { echo "demo: $bin/$program is missing; run scripts/run.sh first" >&2; exit 1; }
done
[ -e /dev/fuse ] || { echo "demo: /dev/fuse is missing (load the fuse module)" >&2; exit 1; }

# Where the driver keeps its socket and mount: the same rule the programs use
# (a user's own driver first, else the machine's; never a folder under /tmp).
if [ -n "${HALVENMOOR_RUNTIME_DIR:-}" ]; then runtime=$HALVENMOOR_RUNTIME_DIR
elif [ "$(id -u)" -eq 0 ]; then runtime=/run/halvenmoor
elif [ -n "${XDG_RUNTIME_DIR:-}" ] && [ -S "$XDG_RUNTIME_DIR/halvenmoor/qlode" ]; then
  runtime=$XDG_RUNTIME_DIR/halvenmoor
elif [ -S /run/halvenmoor/qlode ] || [ -z "${XDG_RUNTIME_DIR:-}" ]; then runtime=/run/halvenmoor
else runtime=$XDG_RUNTIME_DIR/halvenmoor; fi
# The agent keeps its lock and socket in the driver's folder when it is the
# user's own, else in the user's runtime folder.
if [ ! -e "$runtime" ] || [ "$(stat -c %u "$runtime")" -eq "$(id -u)" ]; then agent_dir=$runtime
else agent_dir=${XDG_RUNTIME_DIR:?demo: XDG_RUNTIME_DIR is not set; the agent needs a folder of its own}/halvenmoor; fi

# A fresh private folder: a fixed name under /tmp could be made (or linked
# elsewhere) by another user first, and this script often runs as root.
if [ -n "${HVM_DEMO_DIR:-}" ]; then
  work=$HVM_DEMO_DIR
  mkdir -p -m 700 "$work"
  [ "$(stat -c %u "$work")" -eq "$(id -u)" ] && [ ! -L "$work" ] ||
    { echo "demo: $work is not yours; choose another HVM_DEMO_DIR" >&2; exit 1; }
  made_work=0
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/halvenmoor-demo.XXXXXX")
  made_work=1
fi
server_state=$work/$protocol
# The FTP server: vsftpd needs root; a user gets the pyftpdlib test server.
ftp_script=vsftpd_ftp.sh
[ "$(id -u)" -eq 0 ] || ftp_script=ftp_fixture.sh
drives=$HOME/Halvenmoor

driver_pid=""
agent_pid=""
stopped=0

socket_answers() {  # true when a program listens on the Unix socket $1
  python3 - "$1" <<'PY' 2>/dev/null
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(2)
s.connect(sys.argv[1])
PY
}

wait_until() {  # wait_until SECONDS COMMAND...
  local deadline=$((SECONDS + $1)); shift
  until "$@" 2>/dev/null; do
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.2
  done
}

stop_all() {
  [ "$stopped" -eq 1 ] && return
  stopped=1
  say "Stopping"
  if [ -n "$agent_pid" ] || [ -L "$drives/$letter" ]; then
    timeout 30 "$bin/moorgate" --disconnect "$site" >/dev/null 2>&1 || true
  fi
  if [ -n "$agent_pid" ]; then
    timeout 60 "$bin/moorgate" --quit >/dev/null 2>&1 || kill "$agent_pid" 2>/dev/null || true
    wait "$agent_pid" 2>/dev/null || true
    echo "agent stopped"
  fi
  if [ -n "$driver_pid" ]; then
    kill "$driver_pid" 2>/dev/null || true
    wait_until 10 bash -c "! kill -0 $driver_pid" || kill -KILL "$driver_pid" 2>/dev/null || true
    wait "$driver_pid" 2>/dev/null || true
    # A driver that had to be killed leaves its mount behind.
    if grep -q " $runtime/mnt " /proc/mounts; then
      fusermount3 -u -z "$runtime/mnt" 2>/dev/null || umount -l "$runtime/mnt" 2>/dev/null || true
    fi
    echo "driver stopped"
  fi
  if [ "$protocol" = ftp ]; then
    "$servers/$ftp_script" stop "$server_state" >/dev/null 2>&1 || true
    echo "FTP server stopped"
  else
    "$servers/apache_webdav.sh" stop "$server_state" >/dev/null 2>&1 || true
    echo "web server stopped"
  fi
  if [ "$made_work" -eq 1 ]; then rm -rf "$work"; fi
}
letter=X
trap stop_all EXIT
trap 'exit 130' INT TERM

login=()
if [ "$protocol" = ftp ]; then
  say "Starting an FTP server ($ftp_script) on loopback"
  port=$("$servers/$ftp_script" start "$server_state")
  data=$server_state/data
  if [ "$ftp_script" = vsftpd_ftp.sh ]; then
    url="ftp://127.0.0.1:$port/data/"        # anonymous, every write right in /data
  else
    url="ftp://127.0.0.1:$port/"; login=(--login hvm)   # password "secret"
  fi
  server_kind="an FTP server ($ftp_script on 127.0.0.1)"
else
  say "Starting a WebDAV server (Apache mod_dav) on loopback"
  port=$("$servers/apache_webdav.sh" start "$server_state")
  data=$server_state/data
  url="http://127.0.0.1:$port/dav/"
  server_kind="a WebDAV server (Apache mod_dav on 127.0.0.1)"
fi
mkdir -p "$data/docs" "$data/photos"
cat >"$data/README.txt" <<TEXT
Welcome to the Halvenmoor demo site.

Everything in this folder lives on $server_kind.
Halvenmoor shows it as an ordinary folder: open, edit, copy, move and delete
files with any program.
TEXT
printf 'Shopping list\n- bread\n- cheese\n- apples\n' >"$data/docs/list.txt"
printf '# Notes\n\nMeeting on Tuesday at 10:00.\n' >"$data/docs/notes.md"
head -c 1048576 /dev/urandom >"$data/photos/noise.bin"
if [ "$(id -u)" -eq 0 ]; then
  if [ "$protocol" = ftp ]; then chown -R ftp:ftp "$(readlink -f "$data")"; else chown -R www-data:www-data "$data"; fi
fi
echo "serving $data as $url"

say "Starting the driver quenlode (runtime folder $runtime)"
if socket_answers "$runtime/qlode"; then
  echo "a driver already answers on $runtime/qlode; using it"
else
  "$bin/quenlode" >"$work/quenlode.log" 2>&1 &
  driver_pid=$!
  if ! wait_until 15 socket_answers "$runtime/qlode"; then
    echo "demo: the driver did not start:" >&2; cat "$work/quenlode.log" >&2; exit 1
  fi
  echo "quenlode runs (pid $driver_pid), mount $runtime/mnt"
fi

say "Defining the site '$site' in the user's registry"
if "$bin/moorsites" show "$site" >/dev/null 2>&1; then
  show "$bin/moorsites" set "$site" --url "$url"
elif [ ${#login[@]} -gt 0 ]; then
  echo secret | show "$bin/moorsites" add "$site" --url "$url" "${login[@]}" --password-stdin
else
  show "$bin/moorsites" add "$site" --url "$url" --no-save-password
fi
letter=$("$bin/moorsites" show "$site" | sed -n 's/^Drive: *//p')
show "$bin/moorsites" list

say "Starting the agent moorgate and connecting '$site'"
if socket_answers "$agent_dir/instance"; then
  echo "an agent is already running; handing the command to it"
else
  "$bin/moorgate" >"$work/moorgate.log" 2>&1 </dev/null &
  agent_pid=$!
  if ! wait_until 15 socket_answers "$agent_dir/instance"; then
    echo "demo: the agent did not start:" >&2; cat "$work/moorgate.log" >&2; exit 1
  fi
fi
if ! show "$bin/moorgate" --connect "$site"; then
  echo "demo: connecting failed; the agent said:" >&2; tail -20 "$work/moorgate.log" >&2; exit 1
fi
drive=$drives/$letter
echo "the site is the drive $letter: $drive -> $(readlink "$drive")"

say "The drive through ordinary commands"
show ls -l "$drive/"
show ls -l "$drive/docs/"
show cat "$drive/README.txt"
show cat "$drive/docs/list.txt"
show sha256sum "$drive/photos/noise.bin" "$data/photos/noise.bin"

say "Copying a file onto the drive"
printf 'Written through the drive at %s\n' "$(date)" >"$work/hello.txt"
show cp "$work/hello.txt" "$drive/docs/hello.txt"
show ls -l "$drive/docs/"
echo "and on the server:"
show ls -l "$data/docs/"
if [ "$protocol" = ftp ]; then
  show curl -sS ${login:+-u hvm:secret} "${url}docs/hello.txt"
else
  show curl -sS "${url}docs/hello.txt"
fi

cat <<TEXT

The site '$site' is connected as $drive. Try it from another shell, e.g.
  ls -l $drive/   cp somefile $drive/   mv $drive/docs/hello.txt $drive/hi.txt
To disconnect and stop by hand:
  $bin/moorgate --disconnect $site     (removes the drive link)
  $bin/moorgate --quit                 (ends the agent)
  kill ${driver_pid:-<quenlode pid>}                          (ends the driver and its mount)
  $servers/$([ "$protocol" = ftp ] && echo "$ftp_script" || echo apache_webdav.sh) stop $server_state
TEXT

if [ -t 0 ]; then
  printf '\nPress Enter (or Ctrl-C) to disconnect and stop everything. '
  read -r _ || true
else
  echo "No terminal on standard input: stopping now."
fi
