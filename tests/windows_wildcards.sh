#!/bin/sh
# pelko.exe run from cmd under Wine, typed as a user types it: cmd leaves
# wildcards to the program, which expands them in the files to add, in place
# and sorted, and nowhere else. Arguments: the emulator and pelko.exe.
set -eu
emulator=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$2" "$work/pelko.exe"
cd "$work"
for f in b.txt a.txt C.txt notes.md; do printf '%s\n' "$f" >"$f"; done
mkdir sub && printf 'x\n' >sub/x.txt && printf 'y\n' >sub/y.txt

# One command line typed in cmd: what it printed, then its exit status.
typed() {
    echo "> $*"
    st=0
    "$emulator" cmd /c "$@" || st=$?
    echo "[status $st]"
}
{
    typed pelko -a g.pkz notes.md '*.txt' 'sub\?.txt'
    typed pelko -l g.pkz
    typed pelko -a g.pkz 'none*.txt'
    typed pelko -e g.pkz '*.txt'
    typed pelko -d g.pkz 'a.t?t'
    typed pelko -l '*.pkz'
} >transcript 2>&1

cat >expected <<'END'
> pelko -a g.pkz notes.md *.txt sub\?.txt
[status 0]
> pelko -l g.pkz
Archive "g.pkz" contain:

 "notes.md" : 36
 "a.txt" : 22
 "b.txt" : 22
 "C.txt" : 22
 "sub\x.txt" : 12
 "sub\y.txt" : 12

Compressing data: 126
Count of files: 6
[status 0]
> pelko -a g.pkz none*.txt
Warning: "none*.txt" - unsafe path, refused.
Error: Couldn't add file "none*.txt"
[status 1]
> pelko -e g.pkz *.txt
File *.txt not found in archive[status 0]
> pelko -d g.pkz a.t?t
File a.t?t not found in archive[status 0]
> pelko -l *.pkz
Error: Couldn't read archive "*.pkz"
[status 1]
END
diff -u expected transcript
echo "wildcards from cmd: expanded in the files to add only"
