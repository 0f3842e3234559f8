#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks a Debian copyright file in the machine-readable format (DEP-5) the
# way lintian checks a source package's: the Format line; a header paragraph
# first; every Files paragraph with Copyright and License, "Files: *" the
# first of them; every licence short name used has exactly one stand-alone
# License paragraph with its text, and every such paragraph is used; no tabs
# or carriage returns. Prints each problem; exit status 1 when there is any.
#   dep5_check.sh COPYRIGHT_FILE
set -u
file="$1"
awk '
function problem(text) { print "dep5: " text; bad = 1 }
# Short names of a License field value ("GPL-2+ or MIT, BSD-3-clause").
function use(value, where,   n, i, names) {
  gsub(/ (or|and) /, ",", value)
  n = split(value, names, /, */)
  for (i = 1; i <= n; i++) if (names[i] != "") used[names[i]] = used[names[i]] " " where
}
function endParagraph() {
  if (fields == 0) return
  paragraphs++
  if (paragraphs == 1) {
    if (field["Format"] != "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/")
      problem("the first paragraph has no Format line of the format 1.0")
    if ("Files" in field) problem("the first paragraph is not a header paragraph")
    if ("License" in field) use(field["License"], "header")
  } else if ("Files" in field) {
    filesParagraphs++
    if (!("Copyright" in field)) problem("Files: " field["Files"] " has no Copyright")
    if (!("License" in field)) problem("Files: " field["Files"] " has no License")
    else if (!text["License"]) use(field["License"], "Files: " field["Files"])
    if (filesParagraphs == 1 && field["Files"] != "*") problem("the first Files paragraph is not \"Files: *\"")
    if (filesParagraphs > 1 && field["Files"] == "*") problem("\"Files: *\" is not the first Files paragraph")
  } else if ("License" in field) {
    name = field["License"]
    if (name in defined) problem("License " name " is given twice")
    defined[name] = 1
    if (!text["License"]) problem("License " name " has no text")
  } else {
    problem("paragraph " paragraphs " is neither Files nor License")
  }
  delete field; delete text; fields = 0
}
/\r/ { problem("line " NR " has a carriage return") }
/\t/ { problem("line " NR " has a tab") }
/^$/ { endParagraph(); next }
/^[ ]/ {
  if (current == "") problem("line " NR " continues no field")
  else text[current] = 1
  next
}
/^[A-Za-z-]+:/ {
  current = substr($0, 1, index($0, ":") - 1)
  value = substr($0, index($0, ":") + 1); sub(/^ +/, "", value); sub(/ +$/, "", value)
  if (current in field) problem("field " current " twice in paragraph " paragraphs + 1)
  field[current] = value; fields++
  next
}
{ problem("line " NR " is neither a field nor a continuation") }
END {
  endParagraph()
  if (filesParagraphs == 0) problem("no Files paragraph")
  for (name in used) if (!(name in defined)) problem("License " name " (" substr(used[name], 2) ") has no License paragraph")
  for (name in defined) if (!(name in used)) problem("License " name " is given but no file uses it")
  exit bad
}' "$file"
