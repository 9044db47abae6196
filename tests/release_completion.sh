#!/bin/bash
# Checks the bash completion: command letters, .pkz archives and directories
# for the archive argument, files for -a, stored names for -e and -d, nothing
# after -v or after the archive of -l and -f, and never a working copy.
# Usage: release_completion.sh PELKO COMPLETION_FILE
set -u
pelko=$(realpath "$1")
completion=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PATH="$(dirname "$pelko"):$PATH"
# shellcheck source=/dev/null
. "$completion"
failures=0

# expect "WORDS..." "EXPECTED (newline-separated, sorted)": completes the last word.
expect() {
    local line=$1 want=$2 got
    read -r -a COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _pelko
    got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort)
    [[ ${#COMPREPLY[@]} -eq 0 ]] && got=""
    if [[ $got != "$want" ]]; then
        printf 'completing "%s": expected\n%s\n-- got\n%s\n--\n' "$line" "$want" "$got"
        failures=$((failures + 1))
    fi
}

cd "$work" || exit 1
mkdir dir
printf 'one' >one.txt
printf 'two' >two.txt
printf 'x' >other.dat
pelko -a data.pkz one.txt two.txt >/dev/null || exit 1
cp data.pkz backup.pkz
printf 'not an archive' >broken.pkz
# A working copy left by a failed run.
cp data.pkz data.pkz.swp0

expect "pelko " $'-a\n-d\n-e\n-f\n-l\n-v'
expect "pelko -" $'-a\n-d\n-e\n-f\n-l\n-v'
expect "pelko -e" "-e"
expect "pelko -l " $'backup.pkz\nbroken.pkz\ndata.pkz\ndir'
expect "pelko -a d" $'data.pkz\ndir'
expect "pelko -f b" $'backup.pkz\nbroken.pkz'
expect "pelko -a data.pkz " $'backup.pkz\nbroken.pkz\ndata.pkz\ndir\none.txt\nother.dat\ntwo.txt'
expect "pelko -a data.pkz o" $'one.txt\nother.dat'
expect "pelko -a data.pkz data" "data.pkz"
expect "pelko -l data" "data.pkz"
expect "pelko -e data.pkz " $'one.txt\ntwo.txt'
expect "pelko -d data.pkz t" "two.txt"
expect "pelko -e data.pkz one.txt " $'one.txt\ntwo.txt'
expect "pelko -e data.pkz z" ""
# An archive that does not list falls back to file names.
expect "pelko -e broken.pkz o" $'one.txt\nother.dat'
expect "pelko -e broken.pkz d" $'data.pkz\ndir'
expect "pelko -l data.pkz " ""
expect "pelko -f data.pkz " ""
expect "pelko -v " ""
expect "pelko -x " ""

# The file registers the function for the command name.
complete -p pelko | grep -q -- '-F _pelko' || { echo "no completion registered for pelko"; failures=$((failures + 1)); }

if ((failures > 0)); then
    echo "$failures completion check(s) failed"
    exit 1
fi
echo "completion: all checks passed"
