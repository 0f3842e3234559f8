#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The licence's SPDX line at the top of every source file: C++ sources and
# headers (and their .in templates) start with
#   // SPDX-License-Identifier: GPL-3.0-or-later
# shell scripts, CMakeLists.txt and .cmake files with the same after "# "
# (scripts on the line after their #! line).
#   spdx.sh          adds the line to every source file that lacks it
#   spdx.sh --check  names each source file that lacks it; fails if any does
# Files are those git knows of (tracked or not ignored), else every file below
# the project folder outside build/.
set -euo pipefail
cd "$(dirname "$0")/.."
readonly identifier="SPDX-License-Identifier: GPL-3.0-or-later"
patterns=('*.cpp' '*.hpp' '*.h' '*.cpp.in' '*.hpp.in' '*.sh' '*.cmake' '*CMakeLists.txt')

source_files() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files --cached --others --exclude-standard -- "${patterns[@]}" | while read -r f; do
      [ -f "$f" ] && printf '%s\n' "$f"
    done
  else
    local names=() p
    for p in "${patterns[@]}"; do names+=(-o -name "$p"); done
    find . -path ./build -prune -o -type f \( "${names[@]:1}" \) -print | sed 's|^\./||'
  fi
}

# The line as the file's language writes it.
line_for() {
  case "$1" in
    *.cpp | *.hpp | *.h | *.cpp.in | *.hpp.in) echo "// $identifier" ;;
    *) echo "# $identifier" ;;
  esac
}

has_line() {
  local file="$1" line first
  line="$(line_for "$file")"
  first="$(head -n 1 "$file")"
  [ "$first" = "$line" ] && return 0
  [[ "$first" == '#!'* ]] && [ "$(sed -n 2p "$file")" = "$line" ]
}

missing=0
while read -r file; do
  has_line "$file" && continue
  if [ "${1:-}" = --check ]; then
    echo "no SPDX line: $file"
    missing=$((missing + 1))
    continue
  fi
  line="$(line_for "$file")"
  if [ ! -s "$file" ]; then
    printf '%s\n' "$line" >"$file"
  elif [[ "$(head -n 1 "$file")" == '#!'* ]]; then
    sed -i "1a $line" "$file"
  else
    sed -i "1i $line" "$file"
  fi
  echo "added: $file"
done < <(source_files)

if [ "$missing" -gt 0 ]; then
  echo "$missing source files lack '$identifier'" >&2
  exit 1
fi
