# Sourced by the scripts that start a Python server on loopback: the server
# writes its port into STATE/port once it listens.

# start_background STATE LOG COMMAND...: runs COMMAND in the background, keeps
# its pid in STATE/pid, waits for STATE/port and prints the port (or the log
# and fails).
start_background() {
  local state=$1 log=$2; shift 2
  "$@" >"$log" 2>&1 &
  echo $! >"$state/pid"
  for _ in $(seq 1 100); do [ -f "$state/port" ] && break; sleep 0.05; done
  [ -f "$state/port" ] || { cat "$log" >&2; return 1; }
  cat "$state/port"; echo
}

# stop_background STATE: ends the server started there and waits for it.
stop_background() {
  local state=$1 pid
  [ -f "$state/pid" ] || return 0
  pid=$(cat "$state/pid"); kill "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
}
