#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The server on a real ALSA sequencer, as other programs see it:
# - its client "Velorin Server" shows the ports "Velorin Server", "… 2" and
#   "… 3" in `aconnect -l`, at the same port numbers after a restart;
# - a note played by aplaymidi into "Velorin Server" passes the Router and
#   reaches aseqdump (listening to the "Velorin Server 2" source: the Router
#   never sends back to the endpoint named like the input) and a virtual raw
#   MIDI device (snd-virmidi, when loaded);
# - a client that appears or disappears is noticed (the inventory line);
# - routing stored for the device still applies after its module is reloaded;
# - SIGTERM stops the server and aseqdump hears the note's note-off.
# It runs headless first (the MIDI path on a thread of its own), then with
# its window (offscreen).
# Exits 77 (skipped) without a sequencer.
#   server_alsa_e2e.sh SERVER SETTINGS_WRITER ALSA_KEYS
set -u
server="$1"
settings_writer="$2"
alsa_keys="$3"
[ -e /dev/snd/seq ] || { echo "no /dev/snd/seq: skipped"; exit 77; }
source "$(dirname "$0")/server_test_lib.sh"

now_ms() { echo $(($(date +%s%N) / 1000000)); }
# Starts amidi dumping what reaches the raw MIDI device, once it has the device open.
start_amidi() {  # start_amidi LOG
  stdbuf -oL amidi -p "$virmidi_raw" -d >"$1" 2>&1 &
  amidi_pid=$!
  started_pids+=("$amidi_pid")
  for _ in $(seq 1 100); do
    ls -l "/proc/$amidi_pid/fd" 2>/dev/null | grep -q 'midiC' && return 0
    sleep 0.05
  done
  fail "amidi did not open $virmidi_raw"
}

# A standard MIDI file with one quarter note, middle C.
printf 'MThd\0\0\0\6\0\0\0\1\0\140MTrk\0\0\0\14\0\220\74\144\140\200\74\0\0\377\57\0' >"$work/note.mid"

# The virtual raw MIDI device, when its module is loaded: its sequencer port
# and routing key, and the raw MIDI device that shows what reaches it.
virmidi_key=""
virmidi_line="$("$alsa_keys" 2>"$work/keys.log" | grep -m1 $'\tVirMIDI' || true)"
if [ -n "$virmidi_line" ]; then
  virmidi_key="${virmidi_line%%$'\t'*}"
  virmidi_raw="$(amidi -l 2>/dev/null | awk '/Virtual Raw MIDI/ {print $2; exit}')"
  [ -n "$virmidi_raw" ] || fail "snd-virmidi has a sequencer port but no raw MIDI device"
fi

args=(--bool appVirtualMIDIAdditionalPortsEnabled.v1=true
      --route-input app-virtual-input router inputs
      --route-output app-virtual-output-2 router outputs)
[ -n "$virmidi_key" ] && args+=(--route-output "$virmidi_key" router outputs)
XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen "$settings_writer" "${args[@]}" \
  >"$work/settings.log" 2>&1 || fail "could not write the settings"

# The first run is headless (the MIDI path on its own thread), the restart has its window offscreen.
start_and_wait() {  # start_and_wait LOG MODE
  start_server "$server" "$2" "$1"
  wait_for "$1" "$(log_line MIDI 'Inputs: [0-9]+, Outputs: [0-9]+')" 60 "$server_pid" ||
    fail "the server did not start on the sequencer"
}
# The "Velorin Server" client's ports as aconnect lists them (number and name).
our_ports() {
  aconnect -l | awk '/^client [0-9]+: .Velorin Server. / {on = 1; next} /^client / {on = 0} on && /^ +[0-9]+ / {print}'
}
stop_server() {  # stop_server LOG
  kill -TERM "$server_pid"
  wait_exit "$server_pid" 30
  local status=$?
  [ "$status" -eq 0 ] || fail "server exit status $status after SIGTERM"
  grep -qE "$(log_line MIDI 'Stopped')" "$1" || fail "no stop line"
}

start_and_wait "$work/server.log" headless
our_ports >"$work/ports-1.txt"
for expected in "2 'Velorin Server" "3 'Velorin Server" "4 'Velorin Server 2" "5 'Velorin Server 2" \
                "6 'Velorin Server 3" "7 'Velorin Server 3"; do
  grep -q "^ *$expected" "$work/ports-1.txt" || fail "aconnect -l does not list port $expected'"
done
if grep -qE "Input|Output|Announce" "$work/ports-1.txt"; then fail "the engine's own ports are listed"; fi

stdbuf -oL aseqdump -p "Velorin Server:5" >"$work/aseqdump.log" 2>&1 &
dump_pid=$!
started_pids+=("$dump_pid")
wait_for "$work/aseqdump.log" 'Waiting for data' 20 "$dump_pid" || fail "aseqdump did not start"
[ -n "$virmidi_key" ] && start_amidi "$work/amidi.log"

# A new client is noticed: the inventory is rebuilt shortly after it appears.
before="$(grep -cE "$(log_line MIDI 'Inputs: .*')" "$work/server.log")"
t0="$(now_ms)"
stdbuf -oL aseqdump >"$work/aseqdump-2.log" 2>&1 &
extra_pid=$!
started_pids+=("$extra_pid")
for _ in $(seq 1 200); do
  [ "$(grep -cE "$(log_line MIDI 'Inputs: .*')" "$work/server.log")" -gt "$before" ] && break
  sleep 0.05
done
t1="$(now_ms)"
[ "$(grep -cE "$(log_line MIDI 'Inputs: .*')" "$work/server.log")" -gt "$before" ] ||
  fail "a new client was not noticed"
echo "a new client was noticed after $((t1 - t0)) ms (the refresh waits 250 ms after the last change)"
kill -TERM "$extra_pid"
wait_exit "$extra_pid" 10

aplaymidi -p "Velorin Server:2" "$work/note.mid" || fail "aplaymidi could not play into Velorin Server"
wait_for "$work/aseqdump.log" 'Note on +0, note 60, velocity 100' 20 || fail "the note did not reach aseqdump"
wait_for "$work/aseqdump.log" 'Note off +0, note 60' 20 || fail "the note's note-off did not reach aseqdump"
if [ -n "$virmidi_key" ]; then
  wait_for "$work/amidi.log" '^90 ?3C ?64' 20 || fail "the note did not reach the virtual raw MIDI device"
fi

# Routing to the device survives reloading its module: the key depends on
# names only. (The server's connection to it keeps the module busy while it
# runs; the reload happens between two runs, which is a reboot in small.)
stop_server "$work/server.log"
kill -TERM "$dump_pid"; wait_exit "$dump_pid" 5
if [ -n "$virmidi_key" ]; then
  kill -TERM "$amidi_pid"
  wait_exit "$amidi_pid" 5
  module="$(mktemp -d "$work/module-XXXXXX")"
  (cd "$module" && zcat "${ALSA_VM_CACHE:-$HOME/.cache/alsa-vm}/initrd.gz" 2>/dev/null |
    cpio -idm --quiet '*snd-virmidi.ko' 2>/dev/null)
  ko="$(find "$module" -name 'snd-virmidi.ko' | head -n1)"
  if [ -n "$ko" ] && rmmod snd_virmidi 2>"$work/rmmod.log"; then
    insmod "$ko" midi_devs=1 || fail "could not load snd-virmidi again"
    reloaded=1
  else
    echo "snd-virmidi cannot be reloaded here ($(cat "$work/rmmod.log" 2>/dev/null)); the routing is kept across a restart only"
    reloaded=0
  fi
  [ "$("$alsa_keys" 2>/dev/null | grep -m1 $'\tVirMIDI' | cut -f1)" = "$virmidi_key" ] ||
    fail "the device's key changed when it came back"
fi

start_and_wait "$work/server-2.log" window
our_ports >"$work/ports-2.txt"
cmp -s "$work/ports-1.txt" "$work/ports-2.txt" || fail "the port numbers changed across a restart"
stdbuf -oL aseqdump -p "Velorin Server:5" >"$work/aseqdump-3.log" 2>&1 &
dump_pid=$!
started_pids+=("$dump_pid")
wait_for "$work/aseqdump-3.log" 'Waiting for data' 20 "$dump_pid" || fail "aseqdump did not start again"
[ -n "$virmidi_key" ] && start_amidi "$work/amidi-2.log"
# A note held when the server stops is silenced by the stop.
printf 'MThd\0\0\0\6\0\0\0\1\0\140MTrk\0\0\0\10\0\221\76\120\0\377\57\0' >"$work/held.mid"
aplaymidi -p "Velorin Server:2" "$work/held.mid" || fail "aplaymidi could not play into Velorin Server"
wait_for "$work/aseqdump-3.log" 'Note on +1, note 62, velocity 80' 20 || fail "the held note did not arrive"
if [ -n "$virmidi_key" ]; then
  wait_for "$work/amidi-2.log" '^91 ?3E ?50' 20 || fail "after the reload the note did not reach the device"
fi
stop_server "$work/server-2.log"
wait_for "$work/aseqdump-3.log" 'Note off +1, note 62' 20 || fail "the held note was not silenced at stop"
echo "ports $(tr -s ' ' <"$work/ports-1.txt" | tr '\n' ';'), notes routed to aseqdump" \
  "${virmidi_key:+and to $virmidi_key (module reloaded: $reloaded)}"
