#!/usr/bin/env bash
# A driver started as root serves an agent of an ordinary user: the agent
# keeps its lock and socket in the user's own runtime folder, reads a file
# through the user's drive link, and leaves no password in /dev/shm, neither
# after it ends nor after it is killed.
#   shared_daemon_e2e.sh BUILD_DIR
# Exit 0 when every check passed, 1 otherwise, 77 when the machine cannot
# run it (not root, no /dev/fuse, no Apache, no setpriv).
set -uo pipefail
build=$(cd "${1:?build folder}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
servers=$here/../servers
bin=$build/bin

[ "$(id -u)" -eq 0 ] || { echo "needs root (the driver serves every user)"; exit 77; }
[ -e /dev/fuse ] || { echo "no /dev/fuse"; exit 77; }
[ -x /usr/sbin/apache2 ] || { echo "no apache2"; exit 77; }
command -v setpriv >/dev/null || { echo "no setpriv"; exit 77; }
for program in quenlode moorgate moorsites; do
  [ -x "$bin/$program" ] || { echo "missing $bin/$program"; exit 1; }
done
# The ordinary user: nobody, with folders of its own in this test's folder.
user_uid=$(id -u nobody) user_gid=$(id -g nobody)
# The user's programs must be able to reach the build.
d=$bin; while [ "$d" != / ]; do [ -x "$d" ] && [ $(( $(stat -c %a "$d") % 10 & 1 )) -eq 1 ] || \
  { echo "$d cannot be entered by other users"; exit 77; }; d=$(dirname "$d"); done

work=$(mktemp -d /tmp/hvm-shared-e2e-XXXXXX)
chmod 755 "$work"
runtime=$work/run            # the root driver's folder (root's, 0755)
home=$work/home              # the user's home and runtime folder (the user's)
xdg=$work/xdg
mkdir -p "$home" "$xdg"
chown "$user_uid:$user_gid" "$home" "$xdg"
chmod 700 "$home" "$xdg"
driver_pid=""
agent_pid=""
failures=0

# The user's environment: nothing of root's leaks in.
as_user=(setpriv --reuid="$user_uid" --regid="$user_gid" --clear-groups --reset-env --
  env HOME="$home" XDG_RUNTIME_DIR="$xdg" XDG_STATE_HOME="$home/state"
  HALVENMOOR_RUNTIME_DIR="$runtime" HALVENMOOR_USER_REG="$home/user.reg"
  HALVENMOOR_MACHINE_REG="$home/system.reg" QUENLODE_LIVENESS_SECONDS=3)

stop_process() {  # TERM, then KILL after 10 s
  local pid=$1 waited=0
  kill "$pid" 2>/dev/null || return 0
  while kill -0 "$pid" 2>/dev/null && [ $waited -lt 100 ]; do sleep 0.1; waited=$((waited + 1)); done
  kill -KILL "$pid" 2>/dev/null
}

# The user's shared section: its name carries an FNV-1a hash of the runtime folder.
section=/dev/shm/$(python3 -c 'import sys
h = 1469598103934665603
for b in sys.argv[1].encode(): h = ((h ^ b) * 1099511628211) % 2**64
print("Halvenmoor_WebSharedData.%016x.%s" % (h, sys.argv[2]))' "$runtime" "$user_uid")

cleanup() {
  [ -n "$agent_pid" ] && stop_process "$agent_pid"
  [ -n "$driver_pid" ] && stop_process "$driver_pid"
  wait 2>/dev/null
  fusermount3 -u -z "$runtime/mnt" 2>/dev/null
  "$servers/apache_webdav.sh" stop "$work/apache" >/dev/null 2>&1
  rm -f "$section"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

check() {  # check NAME COMMAND...
  local name=$1; shift
  if timeout -k 5 60 "$@" >"$work/check.out" 2>&1; then
    echo "ok   $name"
  else
    echo "FAIL $name"; sed 's/^/     /' "$work/check.out"; failures=$((failures + 1))
  fi
}

wait_for() {  # wait_for SECONDS COMMAND...
  local deadline=$((SECONDS + $1)); shift
  until "$@" 2>/dev/null; do
    [ $SECONDS -ge $deadline ] && return 1
    sleep 0.1
  done
}

start_agent() {
  "${as_user[@]}" "$bin/moorgate" >>"$work/agent.out" 2>&1 &
  agent_pid=$!
  wait_for 10 test -S "$xdg/halvenmoor/instance"
}

# True when no object the user has in /dev/shm holds the password.
no_password_in_shm=(bash -c "! find /dev/shm -maxdepth 1 -user $user_uid -type f -exec grep -qa secret {} + 2>/dev/null")

port=$("$servers/apache_webdav.sh" start "$work/apache") || { echo "apache did not start"; exit 1; }
data=$work/apache/auth
printf 'for the user only\n' >"$data/note.txt"
chown -R www-data:www-data "$data"

HALVENMOOR_RUNTIME_DIR=$runtime QUENLODE_LIVENESS_SECONDS=3 "$bin/quenlode" >"$work/driver.out" 2>&1 &
driver_pid=$!
wait_for 10 test -S "$runtime/qlode" || { echo "quenlode did not start"; cat "$work/driver.out"; exit 1; }

printf 'secret\n' | "${as_user[@]}" "$bin/moorsites" add vault --url "http://127.0.0.1:$port/auth/" \
  --login hvm --password-stdin --drive V >/dev/null || { echo "moorsites failed"; exit 1; }

start_agent || { echo "moorgate did not start"; cat "$work/agent.out"; exit 1; }
check "the agent's lock and socket are in the user's own folder" \
  bash -c "[ -S '$xdg/halvenmoor/instance' ] && [ \$(stat -c %u '$xdg/halvenmoor') -eq $user_uid ]"
check "nothing of the agent's is in the driver's folder" \
  bash -c "[ -z \"\$(find '$runtime' -maxdepth 1 -user $user_uid)\" ]"
check "connect through a second start" "${as_user[@]}" "$bin/moorgate" --connect vault
check "the user reads a file through the drive link" \
  bash -c "[ \"\$(setpriv --reuid=$user_uid --regid=$user_gid --clear-groups cat '$home/Halvenmoor/V/note.txt')\" = 'for the user only' ]"
check "the shared section is the user's alone" \
  bash -c "[ \"\$(stat -c '%u %a' '$section')\" = '$user_uid 600' ]"
check "no password in /dev/shm while the agent runs" "${no_password_in_shm[@]}"

kill -KILL "$agent_pid"; wait "$agent_pid" 2>/dev/null; agent_pid=""
check "no password in /dev/shm after the agent was killed" "${no_password_in_shm[@]}"
rm -f "$xdg/halvenmoor/instance"
start_agent || echo "moorgate did not restart"
check "the restarted agent connects again" "${as_user[@]}" "$bin/moorgate" --connect vault
check "quit ends the agent" "${as_user[@]}" "$bin/moorgate" --quit
wait "$agent_pid" 2>/dev/null; agent_pid=""
check "the agent's section is gone after it ended" test ! -e "$section"
check "no password in /dev/shm after the agent ended" "${no_password_in_shm[@]}"

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
