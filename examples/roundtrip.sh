#!/bin/sh
# Adds a few files of this machine to a new archive, lists it, extracts it
# into another directory and compares every file byte for byte.
set -eu
pelko=$(realpath "${1:-build/release/pelko}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/in" "$work/out"
cp /etc/passwd "$work/in/passwd"
cp "$pelko" "$work/in/pelko-binary"
printf 'abracadabra' > "$work/in/abra.txt"
cd "$work/in"
"$pelko" -a ../demo.pkz passwd pelko-binary abra.txt
"$pelko" -l ../demo.pkz
cd "$work/out"
"$pelko" -e ../demo.pkz
for f in passwd pelko-binary abra.txt; do
    cmp "$work/in/$f" "$work/out/$f"
done
echo "round trip: all files identical"
