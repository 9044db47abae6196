#!/bin/sh
# Checks that the example runner (release_examples.sh) fails on stale
# examples: wrong output, output to standard error, an unshown failing
# status, a missing example; and passes sessions that are right.
# Usage: release_examples_selftest.sh PELKO RUNNER
set -u
pelko=$1
runner=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# check NAME WANT(pass|fail): runs the runner on $work/NAME.md or .1
check() {
    doc=$(ls "$work/$1".* 2>/dev/null | head -n 1)
    if sh "$runner" "$pelko" "$doc" >"$work/$1.log" 2>&1; then got=pass; else got=fail; fi
    if [ "$got" != "$2" ]; then
        echo "$1: runner said $got, expected $2"
        cat "$work/$1.log"
        failures=$((failures + 1))
    fi
}

fence='```'
doc() { # NAME, then the block's lines on stdin
    { echo "Text before."; echo "${fence}console"; cat; echo "$fence"; echo "Text after."; } >"$work/$1.md"
}

doc right <<'X'
$ pelko -v
Pelko version: 1.0-rc
$ mkdir sub && cd sub
$ printf 'x' > f && pelko -a a.pkz f
$ pelko -l missing.pkz
Error: Couldn't read archive "missing.pkz"
$ echo $?
1
$ ls
a.pkz
f
X
check right pass

doc wrong_output <<'X'
$ pelko -v
Pelko version: 0.9
X
check wrong_output fail

doc missing_output <<'X'
$ pelko -v
X
check missing_output fail

doc extra_output <<'X'
$ pelko -v
Pelko version: 1.0-rc

X
check extra_output fail

doc stderr <<'X'
$ pelko -v; echo oops >&2
Pelko version: 1.0-rc
X
check stderr fail

doc hidden_status <<'X'
$ pelko -l missing.pkz
Error: Couldn't read archive "missing.pkz"
$ pelko -v
Pelko version: 1.0-rc
X
check hidden_status fail

doc wrong_status <<'X'
$ pelko -l missing.pkz
Error: Couldn't read archive "missing.pkz"
$ echo $?
0
X
check wrong_status fail

printf 'No examples here.\n\n    $ pelko -v\n' >"$work/none.md"
check none fail

printf '```console\n$ echo hi\nhi\n```\n' >"$work/no_pelko.md"
check no_pelko fail

# Manual-page examples, with roff escapes.
cat >"$work/man_right.1" <<'X'
.TH T 1
.SH EXAMPLES
.EX
$ printf \(aq%s\en\(aq \(aqa\eb\(aq
a\eb
$ pelko \-v
Pelko version: 1.0\-rc
$ echo \(dqx\(dq
x
$ echo
\&
.EE
X
check man_right pass
sed 's/^x$/y/' "$work/man_right.1" >"$work/man_wrong.1"
check man_wrong fail

if [ "$failures" -ne 0 ]; then
    echo "$failures runner check(s) failed"
    exit 1
fi
echo "runner: all checks passed"
