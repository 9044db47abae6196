#!/bin/sh
# Runs the example sessions of a document against a pelko binary and compares
# what each command prints with what the document shows, so that no example
# in the README or the manual page can go stale.
#
# Usage: release_examples.sh PELKO DOCUMENT
#
# Examples are the ```console blocks of a Markdown file, or the .EX/.EE
# blocks of a manual page (roff escapes \- \e \(aq \(dq \& undone). In them a
# line "$ command" is a command and the lines after it are its exact output.
# All blocks of one document form one session, run in order by one sh in an
# empty directory with the binary's directory first on PATH, so state (files,
# the current directory) carries from one command to the next. A command
# fails the check when its standard output differs from the lines shown,
# when it writes anything to standard error, or when it exits non-zero and the
# next command does not show the status with $?.
set -eu
pelko=$(realpath "$1")
doc=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/run" "$work/step"

case "$doc" in
*.md) mode=md ;;
*) mode=man ;;
esac

# Session lines: "C command" or "O output line".
if [ "$mode" = man ]; then
    sed -e 's/\\e/\x01/g' -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\(dq/"/g' \
        -e 's/\\&//g' -e 's/\x01/\\/g' "$doc"
else
    cat "$doc"
fi | awk -v mode="$mode" '
    mode == "md" && /^```console[ \t]*$/ { inb = 1; next }
    mode == "md" && inb && /^```/ { inb = 0; next }
    mode == "man" && /^\.EX/ { inb = 1; next }
    mode == "man" && /^\.EE/ { inb = 0; next }
    mode == "man" && inb && /^[.'"'"']/ { next }
    inb && substr($0, 1, 2) == "$ " { print "C " substr($0, 3); next }
    inb { print "O " $0 }
' >"$work/session"

# One step per command: its text, its expected output, and the script lines
# that run it with the previous command's status in $?.
n=0
{
    echo '__rc=0'
    while IFS= read -r line; do
        kind=${line%% *}
        text=${line#? }
        if [ "$kind" = C ]; then
            n=$((n + 1))
            printf '%s\n' "$text" >"$work/step/$n.cmd"
            : >"$work/step/$n.want"
            printf '(exit $__rc); {\n%s\n} >"%s" 2>"%s"\n__rc=$?; echo $__rc >"%s"\n' \
                "$text" "$work/step/$n.out" "$work/step/$n.err" "$work/step/$n.rc"
        elif [ "$n" -eq 0 ]; then
            echo "output line before any command: $text"
            exit 1
        else
            printf '%s\n' "$text" >>"$work/step/$n.want"
        fi
    done <"$work/session"
} >"$work/script"

if [ "$n" -eq 0 ] || ! grep -q '^C .*pelko' "$work/session"; then
    echo "no example running pelko found in $doc"
    exit 1
fi

bindir=$(dirname "$pelko")
(
    cd "$work/run"
    PATH="$bindir:$PATH" LC_ALL=C.UTF-8 sh "$work/script" </dev/null
) || true
if [ "$(PATH="$bindir:$PATH" command -v pelko)" != "$pelko" ]; then
    echo "pelko on the examples' PATH is not $pelko"
    exit 1
fi

failed=0
i=1
while [ "$i" -le "$n" ]; do
    cmd=$(cat "$work/step/$i.cmd")
    if [ ! -f "$work/step/$i.rc" ]; then
        echo "step $i never finished: \$ $cmd"
        failed=1
        break
    fi
    rc=$(cat "$work/step/$i.rc")
    if ! cmp -s "$work/step/$i.want" "$work/step/$i.out"; then
        echo "step $i: \$ $cmd"
        echo "output differs from the document (--- shown, +++ printed):"
        diff -u "$work/step/$i.want" "$work/step/$i.out" || true
        failed=1
    fi
    if [ -s "$work/step/$i.err" ]; then
        echo "step $i: \$ $cmd"
        echo "wrote to standard error:"
        cat "$work/step/$i.err"
        failed=1
    fi
    if [ "$rc" -ne 0 ]; then
        next=$((i + 1))
        if [ ! -f "$work/step/$next.cmd" ] || ! grep -q '\$?' "$work/step/$next.cmd"; then
            echo "step $i: \$ $cmd"
            echo "exited with $rc, and the document does not show it"
            failed=1
        fi
    fi
    i=$((i + 1))
done

if [ "$failed" -ne 0 ]; then
    echo "examples of $doc: FAILED"
    exit 1
fi
echo "examples of $doc: $n commands, all as shown"
