#!/usr/bin/python3
"""Turns the hyperfine results of compare.sh into a Markdown table and a
throughput plot."""
import json
import statistics
import sys
from pathlib import Path

out = Path(sys.argv[1])
lines = []
plot = {}
for corpus in ("text", "binary"):
    path = out / f"{corpus}.json"
    if not path.exists():
        continue
    size, pkz, gz, pigz, zst = map(int, (out / f"{corpus}.sizes").read_text().split())
    results = {r["command"]: statistics.median(r["times"]) for r in json.loads(path.read_text())["results"]}
    mb = size / 1e6
    outsize = {"pelko -a": pkz, "gzip -1": gz, "pigz -p 1 -H": pigz, "zstd -1": zst, "cp": size}
    lines.append(f"\n{corpus} corpus, {mb:.0f} MB (medians of hyperfine runs)\n")
    lines.append("| command | median s | MB/s | x cp | x pelko | output bytes |")
    lines.append("|---|---:|---:|---:|---:|---:|")
    for name, t in results.items():
        own = "pelko -a" if name in ("cp", "gzip -1", "pigz -p 1 -H", "zstd -1", "pelko -a") else "pelko -e"
        size_s = f"{outsize[name]:,}" if name in outsize else ""
        lines.append(f"| {name} | {t:.3f} | {mb / t:.0f} | {t / results['cp']:.2f} | {t / results[own]:.2f} | {size_s} |")
        plot.setdefault(corpus, {})[name] = mb / t
    for a, b in (("pelko -a", "zstd -1"), ("pelko -a", "pigz -p 1 -H"), ("pelko -e", "zstd -d"), ("pelko -e", "pigz -p 1 -d")):
        lines.append(f"\n{a} / {b}: {results[a] / results[b]:.2f}")
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
fig, axes = plt.subplots(1, len(plot), figsize=(6 * len(plot), 4.5))
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
