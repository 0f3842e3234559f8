#!/usr/bin/env bash
# Starts velorin-server on the offscreen platform with private config and runtime
# folders, waits (bounded) for its start-up line on standard error, sends the
# given signal (TERM unless told) and expects a clean exit with status 0.
set -u
server="$1"
signal="${2:-TERM}"
work="$(mktemp -d)"
chmod 700 "$work"
mkdir -p "$work/config" "$work/runtime"
chmod 700 "$work/runtime"
trap 'rm -rf "$work"' EXIT

QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" \
  "$server" 2>"$work/stderr" >/dev/null &
pid=$!

started=0
for _ in $(seq 1 300); do  # up to 30 s
  if grep -q '^[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9] MIDI  *Velorin Server .* starting$' "$work/stderr"; then
    started=1
    break
  fi
  if ! kill -0 "$pid" 2>/dev/null; then break; fi
  sleep 0.1
done
if [ "$started" -ne 1 ]; then
  echo "velorin-server did not log its start-up line; stderr was:"
  cat "$work/stderr"
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  exit 1
fi

kill -"$signal" "$pid"
wait "$pid"
status=$?
cat "$work/stderr"
if [ "$status" -ne 0 ]; then
  echo "velorin-server exited with status $status after SIG$signal"
  exit 1
fi
if [ ! -f "$work/config/Velorin/Velorin Server.conf" ] || \
   ! grep -q '^mainWindow.contentWidth=' "$work/config/Velorin/Velorin Server.conf"; then
  echo "the window size was not saved at quit"
  exit 1
fi
echo "velorin-server started and quit cleanly"
