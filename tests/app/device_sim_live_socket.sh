#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The device simulator never replaces a socket someone listens on (run as root
# it could otherwise delete the real usbmuxd's): a second simulator on the
# first one's path refuses, and the first keeps its socket and keeps answering.
set -euo pipefail
sim=$1
work=$(mktemp -d)
first=""
cleanup() { [ -n "$first" ] && kill "$first" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
sock="$work/usbmuxd.sock"

"$sim" --socket "$sock" > "$work/first.log" 2>&1 &
first=$!
for _ in $(seq 100); do [ -S "$sock" ] && break; sleep 0.05; done
[ -S "$sock" ] || { echo "first simulator did not listen"; cat "$work/first.log"; exit 1; }

if "$sim" --socket "$sock" > "$work/second.log" 2>&1; then
  echo "second simulator replaced a live socket"; exit 1
fi
grep -q "is a live socket" "$work/second.log" || { echo "no refusal message:"; cat "$work/second.log"; exit 1; }
kill -0 "$first" || { echo "first simulator died"; exit 1; }
[ -S "$sock" ] || { echo "the live socket was removed"; exit 1; }

# A stale socket file (nobody listening) is replaced as before.
kill "$first"; wait "$first" 2>/dev/null || true; first=""
python3 -c 'import socket,sys; s=socket.socket(socket.AF_UNIX); s.bind(sys.argv[1])' "$work/stale.sock"
"$sim" --socket "$work/stale.sock" > "$work/third.log" 2>&1 &
first=$!
for _ in $(seq 100); do grep -q "fake usbmuxd on" "$work/third.log" && break; sleep 0.05; done
grep -q "fake usbmuxd on" "$work/third.log" || { echo "stale socket not replaced:"; cat "$work/third.log"; exit 1; }
echo "ok"
