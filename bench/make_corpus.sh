#!/bin/sh
# Builds the codec benchmark inputs from files of this machine:
#   text.bin   about 100 MB of man pages (decompressed), documentation and headers
#   binary.bin about 100 MB of shared libraries
# Usage: bench/make_corpus.sh [output directory, default build/corpus]
set -eu
out=${1:-build/corpus}
limit=$((100 * 1024 * 1024))
mkdir -p "$out"

# Appends files named on stdin to $1 until it holds $3 bytes; with $2 = text,
# only files that are valid UTF-8 without NUL bytes.
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
fill() {
    while IFS= read -r f; do
        [ "$(stat -c %s "$1")" -ge "$3" ] && break
        case $f in
            *.gz) gzip -dc "$f" >"$tmp" 2>/dev/null || continue ;;
            *) cat "$f" >"$tmp" 2>/dev/null || continue ;;
        esac
        if [ "$2" = text ] && ! LC_ALL=C.UTF-8 grep -Iq . "$tmp"; then continue; fi
        cat "$tmp" >>"$1"
    done
}

: >"$out/text.bin"
# English man pages, then documentation, then headers: about a third each.
find /usr/share/man/man? -type f -name '*.gz' | sort | fill "$out/text.bin" text $((limit / 3))
find /usr/share/doc -type f \( -name '*.txt' -o -name '*.md' -o -name 'README*' -o -name '*.gz' \
    -o -name '*.html' \) | sort | fill "$out/text.bin" text $((limit * 2 / 3))
find /usr/include -type f -name '*.h' | sort | fill "$out/text.bin" text "$limit"

: >"$out/binary.bin"
find /usr/lib /usr/lib64 -type f -name '*.so*' 2>/dev/null | sort | fill "$out/binary.bin" binary "$limit"

truncate -s "$limit" "$out/text.bin" "$out/binary.bin"
ls -l "$out"
