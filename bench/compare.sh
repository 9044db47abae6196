#!/bin/sh
# Whole-program comparison: times adding to a new archive and extracting it,
# against cp, gzip, pigz (Huffman-only) and zstd, side by side with
# hyperfine, on a text corpus, a binary corpus (both built from this
# machine's own files) and a source tree (a copy of /usr/include, every file
# named in one run against tar piped to zstd). Pelko runs with its default
# thread count and with PELKO_THREADS=1. Prints a table and writes
# bench/results/*.{json,md,png}.
#
#   bench/compare.sh [path/to/pelko] [runs]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
pelko=$(realpath "${1:-$here/../build/release/pelko}")
runs=${2:-10}
out=$here/results
work=${PELKO_BENCH_DIR:-/tmp/pelko-bench}
mkdir -p "$out" "$work"

for tool in hyperfine pigz zstd gzip tar; do
    command -v $tool >/dev/null 2>&1 || { echo "missing $tool (apt-get install hyperfine pigz zstd)"; exit 1; }
done

# Corpora: about 100 MB of text (man pages, documentation, headers) and
# about 50 MB of shared libraries, built once and kept; the tree is copied
# once and kept.
if [ ! -s "$work/text" ]; then
    { find /usr/share/man -name '*.gz' -print0 | sort -z | xargs -0 zcat 2>/dev/null
      find /usr/share/doc -type f ! -name '*.gz' -print0 | sort -z | xargs -0 cat 2>/dev/null
      find /usr/include -type f -print0 | sort -z | xargs -0 cat 2>/dev/null
    } | head -c 100000000 > "$work/text" || true
fi
if [ ! -s "$work/binary" ]; then
    find /usr/lib/x86_64-linux-gnu -name '*.so*' -type f -print0 | sort -z | xargs -0 cat 2>/dev/null \
        | head -c 50000000 > "$work/binary" || true
fi
if [ ! -d "$work/tree/inc" ]; then
    mkdir -p "$work/tree" && cp -r /usr/include "$work/tree/inc"
fi

# Sizes of inputs and outputs, one "name bytes" line each.
sizes() { for f in "$@"; do printf '%s %s\n' "$f" "$(stat -c %s "$f")"; done; }

cd "$work"
for corpus in text binary; do
    rm -rf x && mkdir x && cd x
    cp "../$corpus" in
    # Outputs for the extraction runs.
    "$pelko" -a in.pkz in >/dev/null
    gzip -1 -c in > in.gz
    pigz -p 1 -H -c in > in.pigz.gz
    zstd -q -1 --single-thread -f in -o in.zst
    mkdir -p e
    hyperfine --runs "$runs" --warmup 2 --style basic --export-json "$out/$corpus.json" \
        --prepare 'rm -f new.pkz new.gz new.zst copy' \
        -n 'cp' 'cp in copy' \
        -n 'durable write of the archive' 'dd if=in.pkz of=copy bs=4M conv=fsync status=none' \
        -n 'pelko -a' "$pelko -a new.pkz in" \
        -n 'pelko -a, 1 thread' "PELKO_THREADS=1 $pelko -a new.pkz in" \
        -n 'gzip -1' 'gzip -1 -c in > new.gz' \
        -n 'pigz -p 1 -H' 'pigz -p 1 -H -c in > new.gz' \
        -n 'zstd -1' 'zstd -q -1 --single-thread in -o new.zst' \
        -n 'zstd -T2 -1' 'zstd -q -1 -T2 in -o new.zst' \
        -n 'pelko -e' "cd e && $pelko -e ../in.pkz" \
        -n 'pelko -e, 1 thread' "cd e && PELKO_THREADS=1 $pelko -e ../in.pkz" \
        -n 'gzip -d' 'gzip -d -c in.gz > e/in' \
        -n 'pigz -p 1 -d' 'pigz -p 1 -d -c in.pigz.gz > e/in' \
        -n 'zstd -d' 'zstd -q -d -f in.zst -o e/in' >/dev/null
    cmp in e/in
    sizes in in.pkz in.gz in.pigz.gz in.zst > "$out/$corpus.sizes"
    cd ..
done

# The tree: every file named in one run, extracted into the tree's
# directories made beforehand (the archive stores no directories).
cd tree
find inc -type f | sort > names
rm -f t.pkz && "$pelko" -a t.pkz $(cat names) >/dev/null
tar cf - inc | zstd -q -1 > t.tar.zst
dirs='rm -rf ex && mkdir ex && find inc -type d | (cd ex && xargs mkdir -p)'
hyperfine --runs "$runs" --warmup 1 --style basic --export-json "$out/tree.json" \
    --prepare "rm -f new.pkz new.tar.zst; $dirs" \
    -n 'pelko -a' "$pelko -a new.pkz \$(cat names) >/dev/null" \
    -n 'pelko -a, 1 thread' "PELKO_THREADS=1 $pelko -a new.pkz \$(cat names) >/dev/null" \
    -n 'tar | zstd -1' 'tar cf - inc | zstd -q -1 > new.tar.zst' \
    -n 'tar | zstd -T2 -1' 'tar cf - inc | zstd -q -1 -T2 > new.tar.zst' \
    -n 'pelko -e' "cd ex && $pelko -e ../t.pkz >/dev/null" \
    -n 'pelko -e, 1 thread' "cd ex && PELKO_THREADS=1 $pelko -e ../t.pkz >/dev/null" \
    -n 'zstd -dc | tar x' 'zstd -q -dc t.tar.zst | tar xf - -C ex' >/dev/null
{ printf 'in %s\n' "$(cat $(cat names) | wc -c)"; sizes t.pkz t.tar.zst; } > "$out/tree.sizes"
cd ..
/usr/bin/python3 "$here/report.py" "$out"
