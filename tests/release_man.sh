#!/bin/sh
# Checks the manual page: it renders with `man --warnings -l` without a single
# warning, and it has every section and describes every command.
# Usage: release_man.sh MANUAL_PAGE   (exits 77, skipped, when man is absent)
set -u
page=$1
if ! command -v man >/dev/null 2>&1; then
    echo "man is not installed: skipped (.ci/package installs man-db and checks again)"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" >"$work/out" 2>"$work/err"
rc=$?
if [ "$rc" -ne 0 ] || [ -s "$work/err" ]; then
    echo "man --warnings -l $page: exit status $rc, messages:"
    cat "$work/err"
    failed=1
fi

for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" FILES EXAMPLES LIMITS; do
    if ! grep -q "^$section\$" "$work/out"; then
        echo "section $section missing from the rendered page"
        failed=1
    fi
done
# Every command is described: an indented tag line beginning with its letter.
for letter in a e d l f v; do
    if ! grep -q "^       -$letter\\b" "$work/out"; then
        echo "command -$letter is not described"
        failed=1
    fi
done
for word in archive.swpN "4 GiB" 1023 "8 bits"; do
    if ! grep -q "$word" "$work/out"; then
        echo "the page does not mention $word"
        failed=1
    fi
done

[ "$failed" -eq 0 ] && echo "manual page renders cleanly"
exit "$failed"
