#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# MIDI clock through a real ALSA sequencer, with Link on inside a private
# network namespace (loopback only):
# - clock routed to "Velorin Server 2": aseqdump on it sees 48 ticks a second
#   at the session's 120 BPM while the transport is stopped;
# - a clock at 140 BPM with Start played into "Velorin Server" (a clock input)
#   leads the session: the server logs the tempo it follows and Link's, a
#   real Link peer beside it sees 140 BPM, the transport starts, and the
#   clock out brings Start and 56 ticks a second;
# - the tick intervals a reader sees on the clock out at 120 BPM, next to
#   those of a minimal libasound clock program at 120 BPM read at the same
#   time, sending each tick when due and queueing it ahead on a sequencer
#   queue (printed, not checked: figures).
# Exits 77 (skipped) without a sequencer or where no private network
# namespace can be made.
#   server_alsa_clock.sh SERVER SETTINGS_WRITER CLOCK_PEER LINK_PEER
set -u
server="$1"
settings_writer="$2"
clock_peer="$3"
link_peer="$4"
[ -e /dev/snd/seq ] || { echo "no /dev/snd/seq: skipped"; exit 77; }
unshare -n true 2>/dev/null || { echo "cannot make a private network namespace: skipped"; exit 77; }
source "$(dirname "$0")/server_test_lib.sh"

XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen "$settings_writer" \
  --bool LinkClock.isActive=true --bool appVirtualMIDIAdditionalPortsEnabled.v1=true \
  --route-input app-virtual-input midi-clock inputs \
  --route-output app-virtual-output-2 midi-clock clock-outputs \
  >"$work/settings.log" 2>&1 || fail "could not write the settings"

# Link only ever in a namespace of its own, with a real peer beside the server
# (the peer ends with the server).
cat >"$work/server-in-netns.sh" <<SCRIPT
#!/bin/sh
exec unshare -n sh -c 'ip link set lo up 2>/dev/null; "\$1" 120 >"\$2" 2>&1 & exec "\$0"' \
  "$server" "$link_peer" "$work/peer.log"
SCRIPT
chmod +x "$work/server-in-netns.sh"
start_server "$work/server-in-netns.sh" headless "$work/server.log"
wait_for "$work/server.log" "$(log_line Clock 'Sending MIDI clock to 1 output')" 60 "$server_pid" ||
  fail "the server did not start sending clock"

"$clock_peer" listen "Velorin Server:5" 6 >"$work/stopped.txt" 2>&1 &
listen_pid=$!
started_pids+=("$listen_pid")
"$clock_peer" send - 120 5 &
send_pid=$!
started_pids+=("$send_pid")
"$clock_peer" send-queued - 120 5 &
queued_pid=$!
started_pids+=("$queued_pid")
sleep 0.2
"$clock_peer" listen "Clock Peer Queue:0" 5.5 >"$work/peer-queued.txt" 2>&1 &
queued_listen_pid=$!
started_pids+=("$queued_listen_pid")
"$clock_peer" listen "Clock Peer Send:0" 5.5 >"$work/peer-direct.txt" 2>&1 || fail "the listener failed"
wait_exit "$send_pid" 10 || fail "the clock program could not send"
wait_exit "$queued_pid" 10 || fail "the queued clock program could not send"
wait_exit "$queued_listen_pid" 10 || fail "the listener failed"
wait_exit "$listen_pid" 10 || fail "the listener failed"
echo "figures at 120 BPM, read at the same time: the server's clock out: $(cat "$work/stopped.txt")"
echo "  a minimal libasound clock program sending each tick when due: $(cat "$work/peer-direct.txt")"
echo "  the same program queueing each tick 5 ms ahead with its real time: $(cat "$work/peer-queued.txt")"
stdbuf -oL aseqdump -p "Velorin Server:5" >"$work/aseqdump.log" 2>&1 &
dump_pid=$!
started_pids+=("$dump_pid")
wait_for "$work/aseqdump.log" 'Waiting for data' 20 "$dump_pid" || fail "aseqdump did not start"
sleep 1
t0="$(date +%s%N)"
before="$(grep -c 'Clock' "$work/aseqdump.log")"
sleep 5
t1="$(date +%s%N)"
after="$(grep -c 'Clock' "$work/aseqdump.log")"
# Counted against the clock, since a loaded machine stretches the sleep.
rate="$(awk -v n=$((after - before)) -v ns=$((t1 - t0)) 'BEGIN { printf "%.1f", n / (ns / 1e9) }')"
echo "aseqdump: $((after - before)) ticks in $(((t1 - t0) / 1000000)) ms: $rate a second at 120 BPM"
awk -v r="$rate" 'BEGIN { exit !(r >= 46 && r <= 50) }' || fail "expected 48 ticks a second, saw $rate"
grep -q 'ticks_per_second 4[78]\.[0-9]' "$work/stopped.txt" || fail "the listener did not see 48 ticks a second"

# A hardware master at 140 BPM starts the session.
"$clock_peer" listen "Velorin Server:5" 6 >"$work/playing.txt" 2>&1 &
listen_pid=$!
started_pids+=("$listen_pid")
"$clock_peer" send "Velorin Server:2" 140 5 start || fail "the clock program could not send"
wait_for "$work/server.log" "$(log_line Clock 'Following MIDI clock from Velorin Server: 14[0-9]\.[0-9] BPM')" 10 ||
  fail "the server did not follow the clock"
wait_for "$work/server.log" "$(log_line Link 'Tempo: 140\.0 BPM')" 10 || fail "Link's tempo did not become 140"
wait_for "$work/peer.log" '^peers 1 tempo 140\.0 playing 1$' 10 || fail "the Link peer did not see 140 BPM playing"
wait_for "$work/server.log" "$(log_line Link 'Transport: playing')" 10 || fail "the transport did not start"
wait_for "$work/aseqdump.log" 'Start' 10 || fail "no Start reached the clock output"
wait_exit "$listen_pid" 10
echo "clock out while led: $(cat "$work/playing.txt")"
grep -q ' starts 1 ' "$work/playing.txt" || fail "the clock output did not get exactly one Start"
rate="$(sed -n 's/.*ticks_per_second \([0-9.]*\).*/\1/p' "$work/playing.txt")"
awk -v r="$rate" 'BEGIN { exit !(r > 50 && r < 60) }' || fail "expected about 56 ticks a second at 140 BPM, saw $rate"

# Lost after two beats: logged, the tempo stays.
wait_for "$work/server.log" "$(log_line Clock 'Lost MIDI clock from Velorin Server')" 10 ||
  fail "the loss of the clock was not logged"
kill -TERM "$server_pid"
wait_exit "$server_pid" 30 || fail "the server did not stop"
echo "the Link peer saw, last: $(tail -n1 "$work/peer.log")"
echo "ok"
