#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets up a fresh Debian 12 machine, builds and runs the whole test suite:
# the normal build, the Debian package, the tests against a real ALSA
# sequencer (natively where /dev/snd/seq exists, else inside a throwaway VM),
# the ASan+UBSan build, a ThreadSanitizer run of the suites that exercise
# cross-thread objects, short fuzz smoke runs, and the style checks
# (clang-format, clang-tidy).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# The RTP-MIDI peer of another implementation that the network tests talk to
# (a test peer only; the product uses none of it), at the versions of its lock
# file. Its optional mDNS add-ons are left out: one is not on the npm registry,
# and the tests never need them.
npm install --prefix tests/network/peer --omit=optional --no-save --no-audit --no-fund --loglevel=error

export CTEST_OUTPUT_ON_FAILURE=1
export QT_QPA_PLATFORM=offscreen
werror=()
[ "${CI:-}" = "true" ] && werror=(-DVELORIN_WERROR=ON)

echo "== normal build =="
cmake --preset default "${werror[@]}" >/dev/null
cmake --build --preset default
# The long chaos runs (label chaos) are left out: `ctest --test-dir build/default -L chaos` runs them.
ctest --preset default -LE '^(alsa|chaos)$'

echo "== style =="
# Formatting and lint of every source, against the normal build's compile commands.
bash scripts/style.sh build/default

echo "== package =="
# The Debian package from its own Release build (build/package), unpacked and checked.
bash tests/package/package_smoke.sh "${werror[@]}"

echo "== real ALSA sequencer =="
if [ -e /dev/snd/seq ]; then
  ctest --preset default -L '^alsa$'
else
  # No sequencer here: boot a VM with one and run the whole group in one call.
  vm="${VELORIN_ALSA_VM:-../shared/tools/run-in-alsa-vm.sh}"
  ALSA_VM_MODULES="snd-seq-dummy snd-virmidi" ALSA_VM_MEM=1024 \
    bash "$vm" 'ctest --test-dir build/default -L "^alsa$" --output-on-failure --timeout 300'
fi

echo "== ASan+UBSan build =="
cmake --preset asan "${werror[@]}" >/dev/null
cmake --build --preset asan
ctest --preset asan -LE '^chaos$'

echo "== ThreadSanitizer: the objects shared between threads =="
cmake --preset tsan "${werror[@]}" >/dev/null
cmake --build --preset tsan --target core_tests log_tests engine_tests
ctest --preset tsan -L '^(core|log|engine)$'

echo "== fuzz smoke runs =="
cmake --preset fuzz "${werror[@]}" >/dev/null
cmake --build --preset fuzz
bash fuzz/smoke.sh build/fuzz "${FUZZ_SECONDS:-20}"
echo "All tests passed."
