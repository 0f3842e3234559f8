#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package of Velorin Server: a Release build of the program
# only (no tests, benchmarks or tools) in build/package, then CPack's .deb:
#   bash scripts/package.sh [cmake -D options, e.g. -DVELORIN_DISTRIBUTION_LANE=Production;
#                             they stay in build/package's cache for later runs]
#   sudo apt install ./build/package/velorin-server_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh package

dir=build/package
# Debian's compiler and linker flags for packages (dpkg-buildflags): -O2 and
# the hardening options (stack protector, fortified C library calls, read-only
# relocations), without debug information (the package is stripped anyway).
flags() { env DEB_BUILD_MAINT_OPTIONS=hardening=+all "DEB_$1_MAINT_STRIP=-g" dpkg-buildflags --get "$1"; }
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$(flags CPPFLAGS) $(flags CFLAGS)" -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" \
  -DVELORIN_BUILD_TESTS=OFF -DVELORIN_BUILD_BENCH=OFF -DVELORIN_BUILD_TOOLS=OFF \
  "$@" >/dev/null
# One package in the folder, so the install command's wildcard names it alone.
rm -f "$dir"/velorin-server_*.deb
cmake --build "$dir" --target package
ls "$dir"/velorin-server_*.deb
