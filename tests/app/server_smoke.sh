#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# velorin-server as a black box: started headless with private folders, it logs
# its start-up, its own MIDI ports ready or (without a sequencer) the lines of
# running without a system MIDI service, the inventory summary and the morphs' start-up lines (the
# FC-200 morph's, which every lane has and which is always written); on the
# given signal (TERM unless told) it stops the engine, saves the window size
# and exits with status 0. Headless (no display named at all) it builds no
# window, so it starts the engine at once and saves no window size.
#   server_smoke.sh SERVER [TERM|INT] [window|headless]
set -u
server="$1"
signal="${2:-TERM}"
mode="${3:-window}"
source "$(dirname "$0")/server_test_lib.sh"

start_server "$server" "$mode" "$work/server.log"
pid=$server_pid

wait_for "$work/server.log" "$(log_line MIDI 'Inputs: [0-9]+, Outputs: [0-9]+')" 30 "$pid" ||
  fail "no inventory summary"
fc200_line="$(log_line 'Morph FC-200 SysEx' 'translating Roland FC-200 SysEx controls to channel 15 CC64\+; .*')"
wait_for "$work/server.log" "$fc200_line" 5 "$pid" || fail "no start-up line of the FC-200 morph"

expected=("$(log_line MIDI 'Velorin Server .* starting')")
if [ ! -e /dev/snd/seq ]; then
  expected+=("$(log_line MIDI 'Client creation failed: -[0-9]+')"
             "$(log_line MIDI 'No system MIDI service; running with USB devices only')")
else
  expected+=("$(log_line MIDI 'Virtual source and destination ready')")
fi
expected+=("$(log_line MIDI 'Inputs: [0-9]+, Outputs: [0-9]+')")
# The Link Looper exists in the Beta lane only.
if grep -qE "$(log_line MIDI 'Velorin Server .* Beta lane\) starting')" "$work/server.log"; then
  expected+=("$(log_line 'Morph Link Looper' 'Controlled by Velorin SysEx')")
fi
expected+=("$fc200_line")
expect_in_order "$work/server.log" "${expected[@]}" || fail "start-up lines out of order"
# The morphs' start-up lines come once per engine start (the inventory summary
# also follows every change of the system's MIDI setup).
if [ "$(grep -cE "$fc200_line" "$work/server.log")" -ne 1 ]; then
  fail "the engine started more than once"
fi

kill -"$signal" "$pid"
wait_exit "$pid" 15
status=$?
[ "$status" -eq 0 ] || fail "exit status $status after SIG$signal"
expect_in_order "$work/server.log" \
  "$(log_line MIDI 'Stopping: sending all-notes-off and clearing scheduled events')" \
  "$(log_line MIDI 'Stopped')" || fail "no stop sequence on SIG$signal"
if [ "$mode" = headless ]; then
  ! grep -q '^mainWindow.contentWidth=' "$settings_file" 2>/dev/null || fail "a headless server saved a window size"
else
  grep -q '^mainWindow.contentWidth=' "$settings_file" 2>/dev/null || fail "the window size was not saved at quit"
fi
echo "velorin-server ($mode) started and quit cleanly on SIG$signal"
