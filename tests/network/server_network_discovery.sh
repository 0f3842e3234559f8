#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Two servers find each other through Avahi: a private network and mount
# namespace with a veth pair (mDNS needs a multicast interface, which
# loopback is not), a dbus-daemon of its own standing in for the system bus,
# and avahi-daemon on it. Each server advertises its session and lists the
# other's; the hub that started a session with the other before (at an
# address no longer right) invites it again where discovery found it.
#   server_network_discovery.sh SERVER SETTINGS_WRITER
set -uo pipefail
if [ -z "${VELORIN_PRIVATE_NETNS:-}" ]; then
  exec env VELORIN_PRIVATE_NETNS=1 unshare -n -m bash "$0" "$@"
fi
server="$1"
settings_writer="$2"
command -v avahi-daemon >/dev/null || { echo "FAIL: avahi-daemon is not installed"; exit 1; }
command -v dbus-daemon >/dev/null || { echo "FAIL: dbus-daemon is not installed"; exit 1; }
# Nothing of this namespace's mounts reaches the host: the daemon's pid file
# and socket go to a private /run.
mount --make-rprivate / && mount -t tmpfs tmpfs /run && mkdir -p /run/avahi-daemon ||
  { echo "FAIL: cannot make a private /run"; exit 1; }
source "$(dirname "$0")/../app/server_test_lib.sh"

ip link set lo up
ip link add velorin0 type veth peer name velorin1 || fail "no veth pair in this kernel"
ip addr add 10.77.0.1/24 dev velorin0
ip link set velorin0 multicast on up
ip link set velorin1 up

cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/system_bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
cat >"$work/avahi.conf" <<CONF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=velorin0
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
CONF
dbus-daemon --config-file="$work/bus.conf" --fork --print-pid >"$work/dbus.pid" || fail "dbus-daemon did not start"
started_pids+=("$(cat "$work/dbus.pid")")
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/system_bus"
avahi-daemon -f "$work/avahi.conf" --no-drop-root --no-chroot --no-rlimits >"$work/avahi.log" 2>&1 &
started_pids+=("$!")
wait_for "$work/avahi.log" 'Server startup complete' 10 || fail "avahi-daemon did not start"

# start_hub NAME PORT DIR [SETTINGS...]: a headless server with its own folders.
start_hub() {
  local name="$1" port="$2" id="$3" dir="$work/$3"
  shift 3
  mkdir -p "$dir/config" "$dir/data" "$dir/runtime"
  chmod 700 "$dir/runtime"
  XDG_CONFIG_HOME="$dir/config" QT_QPA_PLATFORM=offscreen "$settings_writer" \
    --bool networkMIDIEnabled.v1=true --string "networkMIDISessionName.v1=$name" \
    --int "networkMIDIControlPort.v1=$port" "$@" >>"$work/settings.log" 2>&1 || fail "could not write the settings"
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS= \
    XDG_CONFIG_HOME="$dir/config" XDG_DATA_HOME="$dir/data" XDG_RUNTIME_DIR="$dir/runtime" \
    USBMUXD_SOCKET_ADDRESS="UNIX:$dir/usbmuxd.sock" "$server" 2>"$work/$id.log" >/dev/null &
  started_pids+=("$!")
}

start_hub "Hub Beta" 6004 beta
start_hub "Hub Alpha" 5004 alpha \
  --data 'networkMIDIKnownPeers.v1=[{"name":"Hub Beta","host":"127.0.0.1","port":7004,"initiated":true}]'

wait_for "$work/alpha.log" 'Found "Hub Beta" at 10\.77\.0\.1:6004 on the local network' 30 ||
  fail "Hub Alpha did not find Hub Beta"
wait_for "$work/beta.log" 'Found "Hub Alpha" at 10\.77\.0\.1:5004 on the local network' 30 ||
  fail "Hub Beta did not find Hub Alpha"
wait_for "$work/alpha.log" 'Hub Beta joined from 10\.77\.0\.1:6004 \(we invited it\)' 30 ||
  fail "Hub Alpha did not invite Hub Beta where discovery found it"
wait_for "$work/beta.log" 'Hub Alpha joined from 10\.77\.0\.1:5004 \(it invited us\)' 10 ||
  fail "Hub Beta did not accept Hub Alpha"
grep -q 'Advertised as "Hub Alpha"' "$work/alpha.log" || fail "no advertising line"
grep -h "Message" "$work/alpha.log" | sed "s/^/  /" | head -20
echo "PASS: two hubs found each other through Avahi and reconnected"
