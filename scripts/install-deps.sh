#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian 12 packages needed to build, run and test Velorin Server.
# Idempotent: does nothing when everything is present.
#   install-deps.sh           everything: build, package and the whole test suite
#   install-deps.sh package   only what building the Debian package needs (scripts/package.sh)
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config git
  qt6-base-dev libgl-dev
  ableton-link-dev libasio-dev
  libplist-dev nlohmann-json3-dev libasound2-dev libsystemd-dev libavahi-client-dev
  dpkg-dev librsvg2-bin
)
if [ "${1:-}" != package ]; then
  packages+=(
    clang libclang-rt-14-dev clang-format clang-tidy fonts-dejavu-core
    libgtest-dev libgmock-dev libbenchmark-dev
    usbmuxd libusbmuxd-tools
    iproute2 util-linux dbus-daemon dbus-bin
    avahi-daemon nftables
    alsa-utils qemu-system-x86 xz-utils cpio
    desktop-file-utils appstream systemd file lintian
  )
  # Node.js with npm, for a test peer written by others. Any install that
  # provides the npm command will do (a distribution's Node.js packages may
  # conflict with Debian's npm package).
  command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
if ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"; then
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
