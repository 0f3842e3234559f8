#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the C++ sources against the checked-in .clang-format and .clang-tidy.
# Fails on any formatting difference or any clang-tidy warning.
#   style.sh [BUILD_DIR]   BUILD_DIR holds compile_commands.json (default build/default)
#   style.sh --fix         reformats every file in place instead of checking
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files -- 'src/*.cpp' 'src/*.hpp' 'tests/*.cpp' 'tests/*.hpp' \
  'bench/*.cpp' 'bench/*.hpp' 'fuzz/*.cpp' 'tools/*.cpp' 'tools/*.hpp')

if [ "${1:-}" = --fix ]; then
  clang-format -i "${sources[@]}"
  exit 0
fi
build=${1:-build/default}

echo "-- clang-format (${#sources[@]} files)"
clang-format --dry-run -Werror "${sources[@]}"

# clang-tidy reads each file's flags from the build, so the build must have
# been configured (and built once, for Qt's generated headers).
[ -f "$build/compile_commands.json" ] || { echo "no $build/compile_commands.json: configure the build first" >&2; exit 1; }
mapfile -t units < <(git ls-files -- 'src/*.cpp')
echo "-- clang-tidy (${#units[@]} translation units)"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# One clang-tidy per file, as many at once as there are cores; any warning fails.
if ! printf '%s\n' "${units[@]}" |
  xargs -P "$(nproc)" -n 1 clang-tidy -p "$build" --quiet --warnings-as-errors='*' >"$log" 2>&1; then
  grep -E 'warning:|error:' -A3 "$log" >&2 || cat "$log" >&2
  echo "clang-tidy found problems" >&2
  exit 1
fi
echo "style: clean"
