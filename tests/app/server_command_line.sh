#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# velorin-server's command line, with no display at all: --help and --version
# answer on standard output with status 0; any other argument (Qt's own
# options too) is refused on standard error with status 2; and none of them
# writes anything under the home folders (no settings file, no lock file).
#   server_command_line.sh SERVER
set -u
server="$1"
source "$(dirname "$0")/server_test_lib.sh"
mkdir -p "$work/home"

run() {
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$work/home" \
    XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/runtime" \
    "$server" "$@" >"$work/stdout.log" 2>"$work/stderr.log"
}

run --version || fail "--version: status $?"
grep -qxE 'Velorin Server [0-9]+\.[0-9]+\.[0-9]+ \(build [0-9]+, (Beta|Production) lane, commit ([0-9a-f]+|unknown)\)' \
  "$work/stdout.log" && [ "$(wc -l <"$work/stdout.log")" -eq 1 ] || fail "--version printed something else"

# --hidden starts the server; beside --version it changes nothing.
run --hidden --version || fail "--hidden --version: status $?"
grep -qE '^Velorin Server [0-9]' "$work/stdout.log" || fail "--hidden --version did not print the version"

run --help || fail "--help: status $?"
grep -qF 'Usage: velorin-server' "$work/stdout.log" &&
  grep -qF '$XDG_CONFIG_HOME/Velorin/Velorin Server.conf' "$work/stdout.log" &&
  grep -qF '~/.config/Velorin/Velorin Server.conf' "$work/stdout.log" &&
  grep -qE '^  --hidden +start with the window hidden' "$work/stdout.log" || fail "--help lacks usage, settings path or --hidden"

# refused MESSAGE ARGUMENTS...: status 2, MESSAGE on standard error, nothing on standard output.
refused() {
  local message="$1" status
  shift
  run "$@"
  status=$?
  [ "$status" -eq 2 ] || fail "'$*': status $status, expected 2"
  [ ! -s "$work/stdout.log" ] && grep -qF "$message" "$work/stderr.log" || fail "'$*': no \"$message\" alone"
}
refused "unknown option '--bogus'" --bogus
refused "unknown option '--hide'" --hidden --hide
refused "unknown option '-platform'" -platform offscreen
refused "unexpected argument 'extra'" --version extra

leftovers="$(find "$work/home" "$work/config" "$work/data" -mindepth 1)"
[ -z "$leftovers" ] || fail "the command line wrote files: $leftovers"
echo "velorin-server answered --help and --version and refused other arguments"
