#!/bin/sh
# Under Wine, a symbolic link of the host is no reparse point to Windows: an
# entry whose directory part passes through one must still be refused, with
# either separator, and nothing written where the link leads.
# Usage: wine_host_links.sh PELKO
set -eu
pelko=$1
d=$(mktemp -d)
trap 'rm -rf "$d"' EXIT
mkdir "$d/src" "$d/src/lnk" "$d/out" "$d/elsewhere"
printf abracadabra >"$d/src/lnk/x"
(cd "$d/src" && "$pelko" -a ../t.pkz 'lnk\x' >/dev/null && "$pelko" -a ../u.pkz lnk/x >/dev/null)
ln -s ../elsewhere "$d/out/lnk"
for arc in t u; do
    status=0
    (cd "$d/out" && "$pelko" -e ../$arc.pkz >/dev/null) || status=$?
    if [ "$status" != 1 ] || [ -n "$(ls -A "$d/elsewhere")" ]; then
        echo "$arc.pkz: exit $status, written through the link: $(ls -A "$d/elsewhere")"
        exit 1
    fi
done
echo "refused"
