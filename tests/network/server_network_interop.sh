#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The server against an RTP-MIDI peer it did not write (the npm rtpmidi
# package), inside a private network namespace of its own: one peer invites
# the hub, the hub invites the other (a session it started before, kept in
# its settings). Each peer's input is routed through the Router back to its
# own output, so the notes and the SysEx message each peer sends must come
# back to it: both directions, both roles.
#   server_network_interop.sh SERVER SETTINGS_WRITER PEER_DIR
set -uo pipefail
if [ -z "${VELORIN_PRIVATE_NETNS:-}" ]; then
  exec env VELORIN_PRIVATE_NETNS=1 unshare -n bash "$0" "$@"
fi
ip link set lo up || { echo "FAIL: no loopback in the private namespace"; exit 1; }
server="$1"
settings_writer="$2"
peer_dir="$3"
source "$(dirname "$0")/../app/server_test_lib.sh"
[ -d "$peer_dir/node_modules/rtpmidi" ] || fail "the test peer is not installed: npm install --prefix $peer_dir --omit=optional --no-save"

XDG_CONFIG_HOME="$work/config" QT_QPA_PLATFORM=offscreen "$settings_writer" \
  --bool networkMIDIEnabled.v1=true \
  --string "networkMIDISessionName.v1=Velorin Test Hub" \
  --data 'networkMIDIKnownPeers.v1=[{"name":"Node Listener","host":"127.0.0.1","port":5012,"initiated":true}]' \
  --route-input "network-midi:Node Initiator" router inputs \
  --route-output "network-midi:Node Initiator" router outputs \
  --route-input "network-midi:Node Listener" router inputs \
  --route-output "network-midi:Node Listener" router outputs \
  >"$work/settings.log" 2>&1 || fail "could not write the settings"

# The listener waits for the hub's invitation, sent when the hub starts.
node "$peer_dir/peer.js" listen "Node Listener" 5012 40 >"$work/listener.log" 2>&1 &
listener_pid=$!
started_pids+=("$listener_pid")
wait_for "$work/listener.log" '^ready' 10 "$listener_pid" || fail "the listening peer did not start"

start_server "$server" headless "$work/server.log"
wait_for "$work/server.log" 'Session "Velorin Test Hub" started: listening on UDP 5004 and 5005' 30 "$server_pid" ||
  fail "the session did not start"

node "$peer_dir/peer.js" initiate "Node Initiator" 5010 5004 40 >"$work/initiator.log" 2>&1 &
initiator_pid=$!
started_pids+=("$initiator_pid")

wait_exit "$initiator_pid" 30 || fail "the peer that invited the hub did not get its MIDI back"
wait_exit "$listener_pid" 30 || fail "the peer the hub invited did not get its MIDI back"
grep -q '^PASS' "$work/initiator.log" || fail "initiator: $(cat "$work/initiator.log")"
grep -q '^PASS' "$work/listener.log" || fail "listener: $(cat "$work/listener.log")"
# The log reaches standard error in batches: wait for the last lines first.
wait_for "$work/server.log" 'Node Listener left' 5 "$server_pid" || fail "the invited peer's leaving is not logged"
wait_for "$work/server.log" 'Node Initiator left' 5 "$server_pid" || fail "the inviting peer's leaving is not logged"
expect_in_order "$work/server.log" 'Node Listener joined from 127.0.0.1:5012 \(we invited it\)' \
  'Node Listener left' || fail "the hub's log misses the invited peer"
expect_in_order "$work/server.log" 'Node Initiator joined from 127.0.0.1:5010 \(it invited us\)' \
  'Node Initiator left' || fail "the hub's log misses the inviting peer"

kill -TERM "$server_pid"
wait_exit "$server_pid" 20 || fail "the server did not quit"
grep -q 'Session "Velorin Test Hub" stopped' "$work/server.log" || fail "no stop line"
echo "initiator $(tail -n1 "$work/initiator.log"); listener $(tail -n1 "$work/listener.log")"
