#!/usr/bin/env bash
# End to end: the real driver (quenlode), the real agent (moorgate) and
# Apache mod_dav on loopback; ordinary programs work on the mapped drive.
#   agent_e2e.sh BUILD_DIR
# Exit 0 when every check passed, 1 otherwise, 77 when the machine cannot
# mount FUSE or has no Apache.
set -uo pipefail
build=$(cd "${1:?build folder}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
servers=$here/../servers
bin=$build/bin

[ -e /dev/fuse ] || { echo "no /dev/fuse"; exit 77; }
[ -x /usr/sbin/apache2 ] || { echo "no apache2"; exit 77; }
for program in quenlode moorgate moorsites; do
  [ -x "$bin/$program" ] || { echo "missing $bin/$program"; exit 1; }
done

work=$(mktemp -d /tmp/hvm-e2e-XXXXXX)
export HALVENMOOR_RUNTIME_DIR=$work/run HOME=$work/home XDG_STATE_HOME=$work/state
export HALVENMOOR_USER_REG=$work/user.reg HALVENMOOR_MACHINE_REG=$work/system.reg
export QUENLODE_LIVENESS_SECONDS=3
mkdir -p "$HOME" "$HALVENMOOR_RUNTIME_DIR"
drives=$HOME/Halvenmoor
M=$drives/M
driver_pid=""
agent_pid=""
failures=0

stop_process() {  # stop_process PID: TERM, then KILL after 10 s; never waits longer
  local pid=$1 waited=0
  kill "$pid" 2>/dev/null || return 0
  while kill -0 "$pid" 2>/dev/null && [ $waited -lt 100 ]; do sleep 0.1; waited=$((waited + 1)); done
  kill -KILL "$pid" 2>/dev/null
}

cleanup() {
  # An agent stuck in a request of a hung driver ends only once the driver is gone.
  [ -n "$agent_pid" ] && stop_process "$agent_pid"
  [ -n "$driver_pid" ] && stop_process "$driver_pid"
  wait 2>/dev/null
  fusermount3 -u -z "$HALVENMOOR_RUNTIME_DIR/mnt" 2>/dev/null
  "$servers/apache_webdav.sh" stop "$work/apache" >/dev/null 2>&1
  remove_shared_section
  rm -rf "$work"
}

# The agent's shared section outlives it; its name carries an FNV-1a hash of the runtime folder.
remove_shared_section() {
  local name
  name=$(python3 -c 'import sys
h = 1469598103934665603
for b in sys.argv[1].encode(): h = ((h ^ b) * 1099511628211) % 2**64
print("Halvenmoor_WebSharedData.%016x.%d" % (h, __import__("os").getuid()))' "$HALVENMOOR_RUNTIME_DIR")
  rm -f "/dev/shm/$name"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

check() {  # check NAME COMMAND...: runs the command (60 s at most), counts a failure
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
  # A killed agent leaves its socket behind; wait for the new one's.
  rm -f "$HALVENMOOR_RUNTIME_DIR/instance"
  "$bin/moorgate" >>"$work/agent.out" 2>&1 &
  agent_pid=$!
  wait_for 10 test -S "$HALVENMOOR_RUNTIME_DIR/instance"
}

port=$("$servers/apache_webdav.sh" start "$work/apache") || { echo "apache did not start"; exit 1; }
data=$work/apache/data
printf 'hello from the server\n' >"$data/hello.txt"
mkdir -p "$data/docs" && printf 'report\n' >"$data/docs/report.txt"
[ "$(id -u)" -eq 0 ] && chown -R www-data:www-data "$data"

"$bin/moorsites" add site1 --url "http://127.0.0.1:$port/dav/" --drive M >/dev/null
printf 'wrong\n' | "$bin/moorsites" add locked --url "http://127.0.0.1:$port/auth/" --login hvm \
  --password-stdin --drive L >/dev/null
"$bin/moorsites" add taken --url "http://127.0.0.1:$port/dav/" --drive K >/dev/null

"$bin/quenlode" >"$work/driver.out" 2>&1 &
driver_pid=$!
wait_for 10 test -S "$HALVENMOOR_RUNTIME_DIR/qlode" || { echo "quenlode did not start"; exit 1; }
start_agent || { echo "moorgate did not start"; cat "$work/agent.out"; exit 1; }

check "connect site1 through a second start" "$bin/moorgate" --connect site1
check "drive link points at the mount" test -L "$M"
check "ls -l lists the server's files" bash -c "ls -l '$M/' | grep -q hello.txt"
check "stat gives the size" bash -c "[ \$(stat -c %s '$M/hello.txt') -eq 22 ]"
check "cat reads the file" bash -c "[ \"\$(cat '$M/hello.txt')\" = 'hello from the server' ]"
head -c 3000000 /dev/urandom >"$work/big.bin"
check "cp in" cp "$work/big.bin" "$M/big.bin"
check "sha256sum equals the server's copy" bash -c \
  "[ \"\$(sha256sum <'$M/big.bin')\" = \"\$(sha256sum <'$data/big.bin')\" ]"
check "cp out" bash -c "cp '$M/docs/report.txt' '$work/out.txt' && cmp '$work/out.txt' '$data/docs/report.txt'"
check "mkdir" bash -c "mkdir '$M/made' && [ -d '$data/made' ]"
check "mv a file" bash -c "mv '$M/big.bin' '$M/made/moved.bin' && [ -f '$data/made/moved.bin' ] && [ ! -e '$data/big.bin' ]"
check "rm" bash -c "rm '$M/made/moved.bin' && [ ! -e '$data/made/moved.bin' ]"
check "rmdir" bash -c "rmdir '$M/made' && [ ! -e '$data/made' ]"
check "editor-style save" bash -c \
  "printf 'new text\n' >'$M/docs/.report.tmp' && mv '$M/docs/.report.tmp' '$M/docs/report.txt' && [ \"\$(cat '$data/docs/report.txt')\" = 'new text' ]"

printf 'made on the server\n' >"$data/server-side.txt"
[ "$(id -u)" -eq 0 ] && chown www-data:www-data "$data/server-side.txt"
check "refresh through a second start" "$bin/moorgate" --refresh site1
check "a server-side change shows after the refresh" bash -c "ls '$M/' | grep -q server-side.txt"

check "wrong password is refused" bash -c "! '$bin/moorgate' --connect locked"
check "the refusal names the login" grep -q "The server refused the login" "$work/agent.out"
check "no link for the refused site" test ! -e "$drives/L"

mkdir -p "$drives/K"
check "a letter in use is refused" bash -c "! '$bin/moorgate' --connect taken"
check "the refusal says already mapped" grep -q "The drive is already mapped" "$work/agent.out"
check "the folder under that letter is kept" test -d "$drives/K"

# The agent dies while idle: the drive fails within the liveness time and nothing hangs.
kill -KILL "$agent_pid"; wait "$agent_pid" 2>/dev/null; agent_pid=""
check "a dead agent gives an error, not a hang" bash -c "! timeout 20 cat '$M/hello.txt'"
rm -f "$drives/M"
start_agent || echo "moorgate did not restart"
check "the restarted agent connects the site again" "$bin/moorgate" --connect site1
check "and reads through it" bash -c "[ \"\$(cat '$M/hello.txt')\" = 'hello from the server' ]"

# Changes of times and sizes last: a hang there must not hide the checks above.
check "touch makes an empty file" bash -c "touch '$M/empty' && [ -f '$data/empty' ] && [ ! -s '$data/empty' ]"
check "truncate" bash -c "printf 0123456789 >'$M/cut.txt' && truncate -s 4 '$M/cut.txt' && [ \"\$(cat '$data/cut.txt')\" = 0123 ]"

check "disconnect through a second start" "$bin/moorgate" --disconnect site1
check "the link is gone" test ! -e "$M"
check "quit ends the agent" "$bin/moorgate" --quit
stop_process "$agent_pid"; agent_pid=""

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
