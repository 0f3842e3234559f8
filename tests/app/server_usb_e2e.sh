#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# End to end over USB: the device simulator stands in for usbmuxd with two
# controller devices, "Stage iPad" and "Phone". The server, configured to show
# individual devices and to route Phone → Router → Stage iPad, must pass a note
# played on the Phone to the Stage iPad (and not back to the Phone), and on
# SIGTERM stop with status 0, sending the Stage iPad the note's note-off first.
# With its window (offscreen), with the window hidden from the start (--hidden,
# as at login: the hub runs without a window shown), or headless, where the
# MIDI path runs on its own thread.
#   server_usb_e2e.sh SERVER DEVICE_SIMULATOR SETTINGS_WRITER [window|hidden|headless]
set -u
server="$1"
simulator="$2"
settings_writer="$3"
mode="${4:-window}"
source "$(dirname "$0")/server_test_lib.sh"

XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen "$settings_writer" \
  --bool vlUSBShowsIndividualUSBDevices=true \
  --route-input "velorin-usb:name:Phone" router inputs \
  --route-output "velorin-usb:name:Stage iPad" router outputs >"$work/settings.log" 2>&1 ||
  fail "could not write the settings"

# The simulator reads MIDI to play from a pipe held open here.
mkfifo "$work/simulator-input"
"$simulator" --socket "$work/usbmuxd.sock" --device "Stage iPad" --device "Phone" \
  <"$work/simulator-input" >"$work/simulator.log" 2>&1 &
simulator_pid=$!
started_pids+=("$simulator_pid")
exec 3>"$work/simulator-input"
wait_for "$work/simulator.log" '^fake usbmuxd on ' 10 "$simulator_pid" || fail "the simulator did not start"

start_server "$server" "$mode" "$work/server.log"

for device in "Stage iPad" "Phone"; do
  wait_for "$work/server.log" "$(log_line 'VL USB' "$device connected")" 20 "$server_pid" ||
    fail "$device did not connect"
done

if [ "$mode" = hidden ]; then
  # Offscreen there is no tray: the log says how to show the window.
  grep -qE "$(log_line Message 'The window is hidden; Velorin Server keeps running\. Start Velorin Server again to show its window.*')" \
    "$work/server.log" || fail "no hint on how to show the hidden window"
fi
echo "90 3C 64" >&3
note_on='^\[Stage iPad\] MIDI port 0 ts 0: 90 3C 64$'
wait_for "$work/simulator.log" "$note_on" 10 || fail "the note did not reach the Stage iPad"

kill -TERM "$server_pid"
wait_exit "$server_pid" 15
status=$?
[ "$status" -eq 0 ] || fail "server exit status $status after SIGTERM"
grep -qE "$(log_line MIDI 'Stopped')" "$work/server.log" || fail "no stop line"

# The note-off was written before the server closed its channels; the
# simulator prints it as soon as it reads it.
note_off='^\[Stage iPad\] MIDI port 0 ts 0: (80 3C [0-9A-F]{2}|90 3C 00)$'
wait_for "$work/simulator.log" "$note_off" 5 || fail "the Stage iPad never received the note-off"
expect_in_order "$work/simulator.log" "$note_on" "$note_off" || fail "note-off before the note"
if grep -q '^\[Phone\] MIDI' "$work/simulator.log"; then
  fail "MIDI reached the Phone, which no route leads to"
fi

echo quit >&3
exec 3>&-
wait_exit "$simulator_pid" 10 || fail "the simulator did not quit"
# The stop's all-notes-off (16 channels × 128 notes) reaches the device whole
# before the server closes its channels: a note on any channel is silenced.
all_notes_off="$(grep -cE '^\[Stage iPad\] MIDI port 0 ts 0: 8[0-9A-F] [0-9A-F]{2} 00$' "$work/simulator.log")"
[ "$all_notes_off" -eq 2048 ] || fail "only $all_notes_off of 2048 all-notes-off messages reached the device"
echo "a note from the Phone reached the Stage iPad and was silenced at SIGTERM" \
  "($all_notes_off of 2048 all-notes-off messages arrived)"
