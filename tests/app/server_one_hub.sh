#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# One hub per user, with real processes: a private session bus (a dbus-daemon
# started here) and a private XDG_RUNTIME_DIR. Over the bus and, without one,
# over the runtime folder's socket:
# - a second start raises the running hub's window, says so and exits 0
#   without opening anything of its own; one with --hidden leaves the window be;
# - a running headless hub makes a second start print where its log is and exit 0;
# - an owner killed with SIGKILL does not keep the next start from owning the hub.
#   server_one_hub.sh SERVER
set -u
server="$1"
source "$(dirname "$0")/server_test_lib.sh"

command -v dbus-daemon >/dev/null || { echo "SKIP: no dbus-daemon"; exit 77; }
dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$work/bus-address" >/dev/null 2>&1 &
started_pids+=($!)
for ((i = 0; i < 50; i++)); do
  [ -s "$work/bus-address" ] && break
  sleep 0.1
done
bus="$(head -n1 "$work/bus-address")"
[ -n "$bus" ] || fail "the private session bus did not start"

# second_start MODE OUT: another start with MODE (window or headless); its
# standard error in OUT; returns its exit status (124 when it hangs).
second_start() {
  local mode="$1" out="$2" pid
  start_server "$server" "$mode" "$out"
  pid=$server_pid
  wait_exit "$pid" 15
}

# Starts an owner (MODE) and waits until its engine runs; sets owner.
start_owner() {
  start_server "$server" "$1" "$2"
  owner=$server_pid
  wait_for "$2" "$(log_line MIDI 'Inputs: [0-9]+, Outputs: [0-9]+')" 30 "$owner" || fail "the hub did not start"
}

check_handover() {
  local transport="$1"
  # A hub with its window: the second start raises it and leaves.
  start_owner window "$work/$transport-owner.log"
  second_start window "$work/$transport-second.log"
  status=$?
  [ "$status" -eq 0 ] || fail "$transport: the second start exited with $status"
  grep -qxF "Velorin Server is already running (pid $owner); its window is shown." "$work/$transport-second.log" ||
    fail "$transport: the second start did not name the running hub"
  ! grep -qE "$(log_line MIDI 'Velorin Server .* starting')" "$work/$transport-second.log" ||
    fail "$transport: the second start started a hub of its own"
  wait_for "$work/$transport-owner.log" "$(log_line Message 'Started again: showing the window')" 5 "$owner" ||
    fail "$transport: the running hub did not show its window"
  # A start at login (--hidden) leaves the running hub's window as it is.
  second_start hidden "$work/$transport-login.log"
  status=$?
  [ "$status" -eq 0 ] || fail "$transport: the hidden start exited with $status"
  grep -qxF "Velorin Server is already running (pid $owner)." "$work/$transport-login.log" ||
    fail "$transport: the hidden start did not name the running hub"
  [ "$(grep -c 'Started again' "$work/$transport-owner.log")" -eq 1 ] ||
    fail "$transport: the hidden start showed the running hub's window"

  # Killed without a chance to clean up: the next start owns the hub.
  kill -KILL "$owner"
  wait "$owner" 2>/dev/null
  if [ "$transport" = "runtime socket" ]; then
    [ -S "$work/runtime/velorin-server.sock" ] || fail "the killed owner left no socket file to trip over"
  fi
  start_owner headless "$work/$transport-headless.log"
  second_start window "$work/$transport-third.log"
  status=$?
  [ "$status" -eq 0 ] || fail "$transport: a start beside the headless hub exited with $status"
  grep -qxF "Velorin Server is already running (pid $owner) as a service; its log: journalctl --user -u velorin-server" \
    "$work/$transport-third.log" || fail "$transport: no message about the headless hub"
  kill -TERM "$owner"
  wait_exit "$owner" 15 || fail "$transport: the headless hub did not quit on SIGTERM"
  [ ! -e "$work/runtime/velorin-server.sock" ] || fail "$transport: a clean quit left the socket file"
  echo "$transport: handed over to the hub with a window and to the headless one; a killed owner blocked nothing"
}

without_bus=("${server_env[@]}")
server_env+=(DBUS_SESSION_BUS_ADDRESS="$bus")

# Started hidden where there is no tray (offscreen), the hub says once, in one
# desktop notification, how to show the window; this bus has no notification
# service, so the call goes unanswered, and the hub says nothing about that.
dbus-monitor --address "$bus" "type='method_call',interface='org.freedesktop.Notifications'" \
  >"$work/monitor.log" 2>&1 &
started_pids+=($!)
wait_for "$work/monitor.log" 'member=NameAcquired' 5 || fail "dbus-monitor did not start"
start_owner hidden "$work/hidden-owner.log"
wait_for "$work/monitor.log" '^ +string "Velorin Server keeps running"$' 5 || fail "no desktop notification"
kill -TERM "$owner"
wait_exit "$owner" 15 || fail "the hidden hub did not quit on SIGTERM"
[ "$(grep -c 'member=Notify' "$work/monitor.log")" -eq 1 ] || fail "not exactly one notification"
! grep -qiE 'notif|dbus|error' "$work/hidden-owner.log" || fail "the missing notification service was mentioned"
echo "session bus: one desktop notification from the hidden hub, unanswered without a word"

check_handover "session bus"
# Without a session bus: the socket in the runtime folder, where a killed
# owner leaves its files behind.
server_env=("${without_bus[@]}")
check_handover "runtime socket"
