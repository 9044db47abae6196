#!/bin/sh
# Whole-program comparison: times adding to a new archive and extracting it,
# against cp, gzip, pigz (Huffman-only) and zstd, side by side with
# hyperfine, on a text corpus, a binary corpus (both built from this
# machine's own files) and a source tree (a copy of /usr/include, every file
# named in one run against tar piped to zstd). Pelko runs with its default
# thread count and with PELKO_THREADS=1. A fourth workload extracts 100,000
# small text files (100 folders) on tmpfs. Extraction always replaces the
# files of an earlier extraction, on both sides: each side's output
# directory holds the whole tree before the first timed run, and every run
# writes over it (Pelko by its atomic replacement, tar by removing and
# recreating); `sync` before each run starts every side with no dirty pages
# pending. The tree and the small files are also extracted into a fresh,
# empty directory on every side. The `busy` workload extracts the 100 MB
# text and the small files again with 0, 1 and 2 other processes kept busy
# (shell loops it starts and stops itself), each pair side by side in one
# hyperfine run. Floors run beside them: tar without
# compression, writing the same bytes from a cache-resident buffer, and,
# when the codec benchmark is built (cmake --preset bench), the decoder and
# encoder in memory on one and two threads. Prints a table and writes
# bench/results/*.{json,md,png}.
#
#   bench/compare.sh [path/to/pelko] [runs]
#   PELKO_BENCH_ONLY="tree small" bench/compare.sh ...   (a subset of text binary tree small busy)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
pelko=$(realpath "${1:-$here/../build/release/pelko}")
runs=${2:-10}
out=$here/results
work=${PELKO_BENCH_DIR:-/tmp/pelko-bench}
shm=${PELKO_BENCH_SHM:-/dev/shm/pelko-bench}
only=${PELKO_BENCH_ONLY:-text binary tree small busy}
codec_bench=${PELKO_CODEC_BENCH:-$here/../build/bench/bench/codec_bench}
mkdir -p "$out" "$work" "$shm"
wanted() { case " $only " in *" $1 "*) return 0 ;; esac; return 1; }

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

# Extraction into a fresh directory on every side, each emptied and synced
# before every run, and Pelko's output checked: $1 names the results and
# the input tree, $2-$4 are the
# archive, the compressed tar and the plain tar. The archive stores no
# directories and extraction makes none, so Pelko's side starts with the
# tree's empty directories made; tar makes its own.
fresh() {
    find "$1" -type d > dirs
    hyperfine --runs "$runs" --warmup 1 --style basic --export-json "$out/$1-fresh.json" \
        --prepare 'rm -rf ff && mkdir ff && sync' -n 'write floor: tar xf' "tar xf $4 -C ff" \
        --prepare 'rm -rf fp && mkdir fp && (cd fp && xargs mkdir -p < ../dirs) && sync' \
        -n 'pelko -e' "cd fp && $pelko -e ../$2 >/dev/null" \
        --prepare 'rm -rf ft && mkdir ft && sync' -n 'zstd -dc | tar x' "zstd -q -dc $3 | tar xf - -C ft" \
        >/dev/null
    # The archive holds the regular files alone, and no empty file: the
    # fresh side has neither links nor empty files.
    find "fp/$1" -type f | sed 's|^fp/||' | sort > got
    find "$1" -type f ! -empty | sort | cmp -s - got
    diff -r --no-dereference "$1" "fp/$1" | grep -v "^Only in $1" && exit 1
    return 0
}

cd "$work"
# The codec alone, in memory, on the text and binary corpora.
if [ -x "$codec_bench" ] && { wanted text || wanted binary; }; then
    mkdir -p corpus && ln -sf ../text corpus/text.bin && ln -sf ../binary corpus/binary.bin
    PELKO_CORPUS=$work/corpus "$codec_bench" --benchmark_filter='^(decodeLarge|decodeEach)/' \
        --benchmark_format=json --benchmark_out="$out/codec.json" >/dev/null
fi
for corpus in text binary; do
    wanted $corpus || continue
    rm -rf x && mkdir x && cd x
    cp "../$corpus" in
    # Outputs for the extraction runs.
    "$pelko" -a in.pkz in >/dev/null
    gzip -1 -c in > in.gz
    pigz -p 1 -H -c in > in.pigz.gz
    zstd -q -1 --single-thread -f in -o in.zst
    mkdir -p e
    blocks=$(( ($(stat -c %s in) + 262143) / 262144 ))
    dd if=/dev/zero of=e/zero bs=256K count=$blocks status=none
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
        -n 'write floor: dd over a file' "dd if=/dev/zero of=e/zero bs=256K count=$blocks status=none" \
        -n 'pelko -e' "cd e && $pelko -e ../in.pkz" \
        -n 'pelko -e, 1 thread' "cd e && PELKO_THREADS=1 $pelko -e ../in.pkz" \
        -n 'gzip -d' 'gzip -d -c in.gz > e/in' \
        -n 'pigz -p 1 -d' 'pigz -p 1 -d -c in.pigz.gz > e/in' \
        -n 'zstd -d' 'zstd -q -d -f in.zst -o e/in' >/dev/null
    cmp in e/in
    sizes in in.pkz in.gz in.pigz.gz in.zst > "$out/$corpus.sizes"
    cd ..
done

# The tree: every file named in one run, extracted over an earlier
# extraction of itself (the archive stores no directories: they exist).
if wanted tree; then
cd tree
find inc -type f | sort > names
rm -f t.pkz && "$pelko" -a t.pkz $(cat names) >/dev/null
tar cf - inc | zstd -q -1 > t.tar.zst
tar cf t.tar inc
for d in ep et ef; do rm -rf $d && mkdir $d && tar xf t.tar -C $d; done
hyperfine --runs "$runs" --warmup 1 --style basic --export-json "$out/tree.json" \
    --prepare "rm -f new.pkz new.tar.zst copy; sync" \
    -n 'read floor: tar cf - | cat' 'tar cf - inc | cat > /dev/null' \
    -n 'durable write of the archive' 'dd if=t.pkz of=copy bs=4M conv=fsync status=none' \
    -n 'pelko -a' "$pelko -a new.pkz \$(cat names) >/dev/null" \
    -n 'pelko -a, 1 thread' "PELKO_THREADS=1 $pelko -a new.pkz \$(cat names) >/dev/null" \
    -n 'tar | zstd -1' 'tar cf - inc | zstd -q -1 > new.tar.zst' \
    -n 'tar | zstd -T2 -1' 'tar cf - inc | zstd -q -1 -T2 > new.tar.zst' \
    -n 'write floor: tar xf' 'tar xf t.tar -C ef' \
    -n 'pelko -e' "cd ep && $pelko -e ../t.pkz >/dev/null" \
    -n 'pelko -e, 1 thread' "cd ep && PELKO_THREADS=1 $pelko -e ../t.pkz >/dev/null" \
    -n 'zstd -dc | tar x' 'zstd -q -dc t.tar.zst | tar xf - -C et' >/dev/null
diff -r --no-dereference inc ep/inc >/dev/null
fresh inc t.pkz t.tar.zst t.tar
{ printf 'in %s\n' "$(cat $(cat names) | wc -c)"; sizes t.pkz t.tar.zst; } > "$out/tree.sizes"
cd ..
fi

# 100,000 small text files in 100 folders, cut from this machine's headers,
# on tmpfs: the disk's journal would swing the figures more than the
# programs differ. The archive is made by xargs in several runs.
if wanted small; then
cd "$shm"
if [ ! -d small ]; then
    /usr/bin/python3 - <<'PY'
import glob, os
data = b"".join(open(p, "rb").read() for p in sorted(glob.glob("/usr/include/**/*.h", recursive=True))[:4000])
pos = 0
for d in range(100):
    os.makedirs(f"small/d{d:02}", exist_ok=True)
    for f in range(1000):
        n = 30 + (d * 1000 + f) * 7919 % 401
        with open(f"small/d{d:02}/f{f:03}.txt", "wb") as o:
            o.write(data[pos:pos + n])
        pos += n
PY
fi
find small -type f | sort > names
rm -f s.pkz && xargs "$pelko" -a s.pkz < names >/dev/null
tar cf - small | zstd -q -1 > s.tar.zst
tar cf s.tar small
for d in ep et ef; do rm -rf $d && mkdir $d && tar xf s.tar -C $d; done
hyperfine --runs "$runs" --warmup 1 --style basic --export-json "$out/small.json" \
    -n 'write floor: tar xf' 'tar xf s.tar -C ef' \
    -n 'pelko -e' "cd ep && $pelko -e ../s.pkz >/dev/null" \
    -n 'pelko -e, 1 thread' "cd ep && PELKO_THREADS=1 $pelko -e ../s.pkz >/dev/null" \
    -n 'zstd -dc | tar x' 'zstd -q -dc s.tar.zst | tar xf - -C et' >/dev/null
diff -r --no-dereference small ep/small >/dev/null
fresh small s.pkz s.tar.zst s.tar
{ printf 'in %s\n' "$(tar xOf s.tar | wc -c)"; sizes s.pkz s.tar.zst; } > "$out/small.sizes"
cd "$work"
fi
# The machine not idle: 0, 1 and 2 shell loops busy beside each run, as
# builds, CI jobs or a desktop would be. Wall, user and system times are
# all kept: two threads that buy time with extra processor time lose it
# when the cores are shared.
if wanted busy; then
hogs=""
stop_hogs() { for p in $hogs; do kill "$p" 2>/dev/null || true; done; hogs=""; }
trap stop_hogs EXIT INT TERM
[ -s "$work/busy/t.pkz" ] || { mkdir -p "$work/busy/e" && cd "$work/busy" && "$pelko" -a t.pkz ../text >/dev/null &&
    zstd -q -1 --single-thread -f ../text -o t.zst && cd "$work/busy/e" && "$pelko" -e ../t.pkz >/dev/null; }
[ -s "$shm/s.pkz" ] && [ -d "$shm/ep/small" ] || { echo "busy needs the small workload's files: run it once"; exit 1; }
for n in 0 1 2; do
    i=0
    while [ $i -lt $n ]; do sh -c 'while :; do :; done' & hogs="$hogs $!"; i=$((i + 1)); done
    uptime > "$out/busy-$n.load"
    cd "$work/busy"
    hyperfine --runs "$runs" --warmup 2 --style basic --export-json "$out/busy-big-$n.json" \
        -n 'pelko -e' "cd e && $pelko -e ../t.pkz" \
        -n 'pelko -e, 1 thread' "cd e && PELKO_THREADS=1 $pelko -e ../t.pkz" \
        -n 'zstd -d' 'zstd -q -d -f t.zst -o e/text' >/dev/null
    cmp ../text e/text
    cd "$shm"
    hyperfine --runs "$runs" --warmup 1 --style basic --export-json "$out/busy-small-$n.json" \
        -n 'pelko -e' "cd ep && $pelko -e ../s.pkz >/dev/null" \
        -n 'pelko -e, 1 thread' "cd ep && PELKO_THREADS=1 $pelko -e ../s.pkz >/dev/null" \
        -n 'zstd -dc | tar x' 'zstd -q -dc s.tar.zst | tar xf - -C et' >/dev/null
    diff -r --no-dereference small ep/small >/dev/null
    uptime >> "$out/busy-$n.load"
    stop_hogs
done
cd "$work"
fi
/usr/bin/python3 "$here/report.py" "$out"
