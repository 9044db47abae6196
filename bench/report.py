#!/usr/bin/python3
"""Turns the hyperfine results of compare.sh into a Markdown table, the
ratios the project aims at, and a throughput plot."""
import json
import statistics
import sys
from pathlib import Path

out = Path(sys.argv[1])
lines = []
plot = {}
# Output files of the commands that write one, per corpus.
outputs = {
    "pelko -a": "in.pkz", "gzip -1": "in.gz", "pigz -p 1 -H": "in.pigz.gz", "zstd -1": "in.zst",
}
tree_outputs = {"pelko -a": "t.pkz", "tar | zstd -1": "t.tar.zst"}
small_outputs = {"pelko -e": "s.pkz", "zstd -dc | tar x": "s.tar.zst"}
fresh = [("pelko -e", "zstd -dc | tar x", None), ("pelko -e", "write floor: tar xf", None)]
# Ratios side by side: (numerator, denominator, goal or None).
ratios = {
    "text": [("pelko -a", "zstd -1", 0.5), ("pelko -a", "durable write of the archive", 1.2),
             ("pelko -e", "zstd -d", 0.6), ("pelko -e", "write floor: dd over a file", None),
             ("pelko -a", "pelko -a, 1 thread", None),
             ("pelko -e", "pelko -e, 1 thread", None), ("pelko -a", "pigz -p 1 -H", None)],
    "binary": [("pelko -a", "zstd -1", None), ("pelko -e", "zstd -d", None),
               ("pelko -e", "write floor: dd over a file", None)],
    "tree": [("pelko -a", "tar | zstd -1", 0.8), ("pelko -e", "zstd -dc | tar x", 0.7),
             ("pelko -e", "write floor: tar xf", None), ("pelko -a", "read floor: tar cf - | cat", None),
             ("pelko -a", "durable write of the archive", None),
             ("pelko -a", "tar | zstd -T2 -1", None), ("pelko -a", "pelko -a, 1 thread", None),
             ("pelko -e", "pelko -e, 1 thread", None)],
    "small": [("pelko -e", "zstd -dc | tar x", 0.9), ("pelko -e", "write floor: tar xf", None),
              ("pelko -e", "pelko -e, 1 thread", None)],
    "inc-fresh": fresh,
    "small-fresh": fresh,
}
for corpus in ("text", "binary", "tree", "inc-fresh", "small", "small-fresh"):
    path = out / f"{corpus}.json"
    if not path.exists():
        continue
    base = {"inc-fresh": "tree", "small-fresh": "small"}.get(corpus, corpus)
    sizes = dict(line.split() for line in (out / f"{base}.sizes").read_text().splitlines())
    size = int(sizes["in"])
    results = {r["command"]: statistics.median(r["times"]) for r in json.loads(path.read_text())["results"]}
    mb = size / 1e6
    files = {"tree": tree_outputs, "small": small_outputs}.get(base, outputs)
    what = {"tree": "a copy of /usr/include", "small": "100,000 files on tmpfs"}.get(base, "one file")
    if base != corpus:
        what += ", extracted into a fresh directory"
    lines.append(f"\n{corpus} corpus, {mb:.0f} MB, {what} (medians of hyperfine runs)\n")
    lines.append("| command | median s | MB/s | archive bytes |")
    lines.append("|---|---:|---:|---:|")
    for name, t in results.items():
        f = files.get(name)
        size_s = f"{int(sizes[f]):,}" if f in sizes else ""
        cell = name.replace("|", "\\|")
        lines.append(f"| {cell} | {t:.3f} | {mb / t:.0f} | {size_s} |")
        plot.setdefault(corpus, {})[name] = mb / t
    lines.append("")
    for a, b, goal in ratios[corpus]:
        if a in results and b in results:
            aim = f" (goal: at most {goal})" if goal else ""
            lines.append(f"- {a} / {b}: {results[a] / results[b]:.2f}{aim}")

# The codec alone, in memory: seconds for each corpus at the measured rate.
codec = out / "codec.json"
if codec.exists():
    lines.append("\ncodec in memory (Google Benchmark, text and binary corpora)\n")
    lines.append("| benchmark | GB/s |")
    lines.append("|---|---:|")
    for b in json.loads(codec.read_text())["benchmarks"]:
        if b.get("run_type", "iteration") == "iteration" and "bytes_per_second" in b:
            name = b["name"].replace("binary:0", "text").replace("binary:1", "binary")
            lines.append(f"| {name} | {b['bytes_per_second'] / 1e9:.2f} |")
# The busy workload: 0, 1 and 2 other busy processes beside each pair.
if (out / "busy-big-0.json").exists():
    lines.append("\nbusy machine: extraction with other processes busy beside it "
                 "(medians; user and system seconds in brackets)\n")
    lines.append("| busy | small files ÷ `zstd -dc \\| tar x` | small: default ÷ 1 thread "
                 "| 100 MB text ÷ `zstd -d` | text: default ÷ 1 thread | load (before, after) |")
    lines.append("|---|---|---|---|---|---|")

    def medians(path):
        res = json.loads(path.read_text())["results"]
        return {r["command"]: (statistics.median(r["times"]), statistics.median(r["user"]),
                               statistics.median(r["system"])) for r in res}

    def cell(r, a, b):
        (ta, ua, sa), (tb, ub, sb) = r[a], r[b]
        return f"{ta / tb:.2f} ({ta:.3f} [{ua:.2f}+{sa:.2f}] vs {tb:.3f} [{ub:.2f}+{sb:.2f}])"

    for n in (0, 1, 2):
        big, small = out / f"busy-big-{n}.json", out / f"busy-small-{n}.json"
        if not (big.exists() and small.exists()):
            continue
        b, s = medians(big), medians(small)
        load = " / ".join(l.split("load average:")[1].split(",")[0].strip()
                          for l in (out / f"busy-{n}.load").read_text().splitlines())
        lines.append(f"| {n} | {cell(s, 'pelko -e', 'zstd -dc | tar x')} "
                     f"| {cell(s, 'pelko -e', 'pelko -e, 1 thread')} "
                     f"| {cell(b, 'pelko -e', 'zstd -d')} | {cell(b, 'pelko -e', 'pelko -e, 1 thread')} "
                     f"| {load} |")
text = "\n".join(lines)
print(text)
(out / "table.md").write_text(text + "\n")

try:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
except ImportError:
    print("(matplotlib missing: no plot)")
    sys.exit(0)
fig, axes = plt.subplots(1, len(plot), figsize=(6 * len(plot), 5))
if len(plot) == 1:
    axes = [axes]
for ax, (corpus, speeds) in zip(axes, plot.items()):
    names = list(speeds)
    colors = ["#c44" if n.startswith("pelko") else "#888" for n in names]
    ax.barh(names, [speeds[n] for n in names], color=colors)
    ax.invert_yaxis()
    ax.set_xlabel("MB/s (input bytes / median time)")
    ax.set_title(f"{corpus} corpus")
fig.tight_layout()
fig.savefig(out / "throughput.png", dpi=90)
print(f"plot: {out / 'throughput.png'}")
