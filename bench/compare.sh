#!/bin/sh
# Whole-program comparison: times adding one file to a new archive and
# extracting it, against cp, gzip, pigz (Huffman-only) and zstd, side by side
# with hyperfine, on a text corpus and a binary corpus built from this
# machine's own files. Prints a table and writes bench/results/*.{json,md,png}.
#
#   bench/compare.sh [path/to/pelko] [runs]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
pelko=$(realpath "${1:-$here/../build/release/pelko}")
runs=${2:-10}
out=$here/results
work=${PELKO_BENCH_DIR:-/tmp/pelko-bench}
mkdir -p "$out" "$work"

for tool in hyperfine pigz zstd gzip; do
    command -v $tool >/dev/null 2>&1 || { echo "missing $tool (apt-get install hyperfine pigz zstd)"; exit 1; }
done

# Corpora: about 100 MB of text (man pages, documentation, headers) and
# about 50 MB of shared libraries, built once and kept.
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
        -n 'pelko -a' "$pelko -a new.pkz in" \
        -n 'gzip -1' 'gzip -1 -c in > new.gz' \
        -n 'pigz -p 1 -H' 'pigz -p 1 -H -c in > new.gz' \
        -n 'zstd -1' 'zstd -q -1 --single-thread in -o new.zst' \
        -n 'pelko -e' "cd e && $pelko -e ../in.pkz" \
        -n 'gzip -d' 'gzip -d -c in.gz > e/in' \
        -n 'pigz -p 1 -d' 'pigz -p 1 -d -c in.pigz.gz > e/in' \
        -n 'zstd -d' 'zstd -q -d -f in.zst -o e/in' >/dev/null
    cmp in e/in
    printf '%s %s\n' "$(stat -c %s in)" "$(stat -c %s in.pkz) $(stat -c %s in.gz) $(stat -c %s in.pigz.gz) $(stat -c %s in.zst)" > "$out/$corpus.sizes"
    cd ..
done
/usr/bin/python3 "$here/report.py" "$out"
