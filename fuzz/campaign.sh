#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A long fuzzing campaign, outside CI: runs each fuzz target until it has made
# RUNS executions or SECONDS have passed, whichever comes first, starting from
# its committed corpus; then minimises what it found back into fuzz/corpus/NAME
# (libFuzzer's -merge=1) and prints executions, coverage and findings per target.
# Crashing inputs are kept in fuzz/findings/NAME/ for turning into unit tests.
# Usage: fuzz/campaign.sh [BUILD_DIR] [SECONDS] [RUNS] [TARGET...]
#   defaults: build/fuzz, 1800, 10000000, every built target
set -uo pipefail
root=$(cd "$(dirname "$0")" && pwd)
build=${1:-build/fuzz}
seconds=${2:-1800}
runs=${3:-10000000}
shift $(($# > 3 ? 3 : $#))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for bin in "$build"/fuzz/fuzz_*; do [ -x "$bin" ] && targets+=("$(basename "$bin")"); done
fi

summary=()
for name in "${targets[@]}"; do
  name=fuzz_${name#fuzz_}
  short=${name#fuzz_}
  bin="$build/fuzz/$name"
  [ -x "$bin" ] || { echo "no $bin" >&2; continue; }
  seeds="$root/corpus/$short"
  findings="$root/findings/$short"
  work=$(mktemp -d)
  mkdir -p "$seeds" "$findings" "$work/corpus"
  log="$work/run.log"
  echo "-- $name: up to $runs executions or ${seconds}s"
  start=$(date +%s)
  "$bin" -max_total_time="$seconds" -runs="$runs" -print_final_stats=1 \
    -artifact_prefix="$findings/" "$work/corpus" "$seeds" >"$log" 2>&1 </dev/null
  status=$?
  elapsed=$(($(date +%s) - start))
  # -runs stops before the first pass over big corpora ends, so count from the stats.
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -n 1)
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1)
  # Minimise: the hand-written seeds (named for what they hold) stay as they are; of the
  # rest and of what this run added, only inputs that add coverage to them are kept.
  mkdir -p "$work/min" "$work/found"
  for f in "$seeds"/*; do
    [ -f "$f" ] || continue
    if [[ $(basename "$f") =~ ^[0-9a-f]{40}$ ]]; then cp "$f" "$work/found/"; else cp "$f" "$work/min/"; fi
  done
  if "$bin" -merge=1 "$work/min" "$work/found" "$work/corpus" >"$work/merge.log" 2>&1 </dev/null; then
    find "$seeds" -maxdepth 1 -type f -regextype posix-extended -regex '.*/[0-9a-f]{40}' -delete
    cp -n "$work/min"/* "$seeds"/
  fi
  crashes=$(find "$findings" -type f | wc -l)
  rmdir "$findings" 2>/dev/null
  line="$name: exit $status, ${execs:-?} executions in ${elapsed}s, ${cov:-cov ?}, corpus $(ls "$seeds" | wc -l) files, findings $crashes"
  echo "$line"
  [ "$status" -ne 0 ] && tail -n 40 "$log"
  summary+=("$line")
  rm -rf "$work"
done
echo "== summary =="
printf '%s\n' "${summary[@]}"
