#!/bin/sh
# Checks the worked example of doc/FORMAT.md against the program: adding a.txt
# (abracadabra) to a new archive must give the bytes the document shows,
# except the eight time bytes at offsets 11 to 18.
# Usage: release_format_example.sh PELKO FORMAT_MD
set -eu
pelko=$(realpath "$1")
doc=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The ```hexdump block, in xxd -g1 layout: hex bytes in columns 11 to 57.
awk '/^```hexdump/ { inb = 1; next } inb && /^```/ { exit } inb' "$doc" |
    cut -c11-57 | tr -s ' ' '\n' | sed '/^$/d' >"$work/shown"
cd "$work"
printf 'abracadabra' >a.txt
"$pelko" -a example.pkz a.txt >"$work/printed"
od -An -v -t x1 example.pkz | tr -s ' ' '\n' | sed '/^$/d' >"$work/made"

mask() { awk 'NR >= 12 && NR <= 19 { print "(time)"; next } { print }' "$1"; }
if [ -s "$work/printed" ] || [ "$(wc -l <"$work/made")" -ne 47 ]; then
    echo "adding a.txt printed something or did not make 47 bytes"
    exit 1
fi
if ! mask "$work/shown" >"$work/shown.m" || ! mask "$work/made" >"$work/made.m" ||
    ! diff -u "$work/shown.m" "$work/made.m"; then
    echo "the worked example of $doc differs from what pelko writes (--- shown, +++ written)"
    exit 1
fi
echo "worked example: 47 bytes as shown"
