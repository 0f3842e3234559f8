#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs every built fuzz target for a short time on its seed corpus.
# Usage: fuzz/smoke.sh BUILD_DIR SECONDS
set -euo pipefail
build=${1:-build/fuzz}
seconds=${2:-20}
root=$(cd "$(dirname "$0")" && pwd)
shopt -s nullglob
found=0
for bin in "$build"/fuzz/fuzz_*; do
  [ -x "$bin" ] || continue
  found=1
  name=$(basename "$bin")
  seeds="$root/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  echo "-- $name (${seconds}s)"
  args=(-max_total_time="$seconds" -print_final_stats=0 -artifact_prefix="$work/")
  if [ -d "$seeds" ]; then
    "$bin" "${args[@]}" "$work" "$seeds"
  else
    "$bin" "${args[@]}" "$work"
  fi
  rm -rf "$work"
done
[ "$found" -eq 1 ] || echo "no fuzz targets built"
