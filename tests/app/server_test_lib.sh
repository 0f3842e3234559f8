# SPDX-License-Identifier: GPL-3.0-or-later
# Shared by the black-box tests of velorin-server: a private working folder,
# bounded waits on log files, and ending only the processes started here.
# Log lines on standard error look like "12:34:56.789 MIDI    Stopped": time,
# category column, text.

work="$(mktemp -d /tmp/velorin-e2e-XXXXXX)"
chmod 700 "$work"
mkdir -p "$work/config" "$work/data" "$work/runtime"
chmod 700 "$work/runtime"
started_pids=()

cleanup() {
  local pid
  for pid in "${started_pids[@]}"; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -KILL "$pid" 2>/dev/null
      wait "$pid" 2>/dev/null
    fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

# A log line of category $1 whose text matches the extended regex $2 (whole rest of the line).
log_line() {
  printf '^[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} %s +%s$' "$1" "$2"
}

# wait_for FILE REGEX SECONDS [PID]: until a line of FILE matches, at most
# SECONDS; fails early when PID is given and that process has ended.
wait_for() {
  local file="$1" regex="$2" seconds="$3" pid="${4:-}" i
  for ((i = 0; i < seconds * 10; i++)); do
    if grep -qE -- "$regex" "$file" 2>/dev/null; then return 0; fi
    if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
      grep -qE -- "$regex" "$file" 2>/dev/null
      return
    fi
    sleep 0.1
  done
  return 1
}

# wait_exit PID SECONDS: the exit status of PID, or 124 after SECONDS (the
# process is then killed).
wait_exit() {
  local pid="$1" seconds="$2" i
  for ((i = 0; i < seconds * 10; i++)); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"
      return
    fi
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 124
}

# line_number FILE REGEX: number of the first matching line (empty when none).
line_number() {
  grep -nE -m1 -- "$2" "$1" | cut -d: -f1
}

# expect_in_order FILE REGEX...: each pattern matches a line after the previous one's.
expect_in_order() {
  local file="$1" previous=0 regex n
  shift
  for regex in "$@"; do
    n="$(tail -n "+$((previous + 1))" "$file" | grep -nE -m1 -- "$regex" | cut -d: -f1)"
    if [ -z "$n" ]; then
      echo "FAIL: no line matching '$regex' after line $previous of $(basename "$file")"
      return 1
    fi
    previous=$((previous + n))
  done
}

fail() {
  echo "FAIL: $*"
  local f
  for f in "$work"/*.log; do
    [ -f "$f" ] || continue
    echo "--- $(basename "$f") (last 60 lines)"
    tail -n 60 "$f"
  done
  exit 1
}

# The server's environment: headless, private folders, a usbmuxd socket path
# under the working folder (nothing listens there unless a test starts the
# device simulator on it), and no session bus, so that the one hub per user
# is guarded in the private runtime folder and tests running at once do not
# hand over to each other.
server_env=(
  DBUS_SESSION_BUS_ADDRESS=
  QT_QPA_PLATFORM=offscreen
  XDG_CONFIG_HOME="$work/config"
  XDG_DATA_HOME="$work/data"
  XDG_RUNTIME_DIR="$work/runtime"
  USBMUXD_SOCKET_ADDRESS="UNIX:$work/usbmuxd.sock"
)
settings_file="$work/config/Velorin/Velorin Server.conf"

# start_server SERVER MODE LOG: starts SERVER in the environment above, its
# window on Qt's offscreen platform (MODE window), the same with the window
# hidden from the start (MODE hidden: --hidden) or headless (MODE headless:
# no display named at all, so no widget and the MIDI path on a thread of its
# own), standard error to LOG; sets server_pid.
start_server() {
  local server="$1" mode="$2" log="$3" setting environment=()
  if [ "$mode" = headless ]; then
    for setting in "${server_env[@]}"; do
      [[ "$setting" == QT_QPA_PLATFORM=* ]] || environment+=("$setting")
    done
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "${environment[@]}" "$server" 2>"$log" >/dev/null &
  elif [ "$mode" = hidden ]; then
    env "${server_env[@]}" "$server" --hidden 2>"$log" >/dev/null &
  else
    env "${server_env[@]}" "$server" 2>"$log" >/dev/null &
  fi
  server_pid=$!
  started_pids+=("$server_pid")
}
