"""One figure of a decisions run: per cell, two arms' paired differences to `mc` with 95 % intervals.

    .venv/bin/python bench/decisions/plot.py [bench/results/decisions.json] \\
        --arms split-place-win population --out docs/decisions-final.png

Reads the JSON that bench/decisions/run.py writes (--output). Left panel: the winners' excess, right
panel: the losers' shortfall, each as the arm minus `mc` (lower is better). One row per cell, grouped
by family; an interval entirely above zero (the arm worse than `mc` there) is drawn in red.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

REFERENCE = "mc"  # run.py stores every arm's differences against this arm
METRICS = (("excess", "winners: excess"), ("shortfall", "losers: shortfall"))
WORSE = "tab:red"
ARM_STYLE = (("tab:blue", "o"), ("tab:green", "s"))
OFFSET = 0.2  # each arm's vertical offset in its cell's row


def short_label(cell: str, family: str) -> str:
    """'N=32 M=3 cloud mixed 3 replicates' -> '32x3 cloud mixed 3 rep' (the geometry dropped when the
    family is named after it)."""
    n, m, geometry, noise, *variances = cell.split()
    shape = f"{n.removeprefix('N=')}x{m.removeprefix('M=')}"
    kept = [shape] + ([] if geometry == family else [geometry]) + [noise, " ".join(variances)]
    return " ".join(kept).replace("replicates", "rep")


def rows(cells: list[dict]) -> tuple[list[float], list[tuple[float, str]], list[float]]:
    """y of every cell (top to bottom), family headings (y, name) and the y of each family's separator:
    a heading row above each family's cells, in the order the run wrote them."""
    ys, headings, separators, y, family = [], [], [], 0.0, None
    for entry in cells:
        if entry["family"] != family:
            family = entry["family"]
            if headings:
                separators.append(y - 0.5)
            headings.append((y, family))
            y += 1
        ys.append(y)
        y += 1
    return ys, headings, separators


def draw(data: dict, arms: list[str], out: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cells = data["cells"]
    ys, headings, separators = rows(cells)
    height = 1.2 + 0.13 * (len(ys) + len(headings))
    fig, axes = plt.subplots(1, 2, figsize=(10, height), sharey=True)
    for ax, (metric, title) in zip(axes, METRICS):
        key = f"{metric}_vs_{REFERENCE}"
        for i, (arm, (colour, marker)) in enumerate(zip(arms, ARM_STYLE)):
            worse = 0
            for y, entry in zip(ys, cells):
                mean, low, high = entry["arms"][arm][key]
                c = WORSE if low > 0 else colour
                worse += low > 0
                row = y + (2 * i - 1) * OFFSET
                ax.plot([low, high], [row, row], color=c, lw=1.1)
                ax.plot(mean, row, marker, color=c, ms=2.8)
            ax.plot([], [], marker + "-", color=colour, ms=3, label=f"{arm} ({worse} above 0)")
        ax.plot([], [], "-", color=WORSE, label="interval above 0 (worse)")
        ax.axvline(0.0, color="black", lw=0.7)
        for s in separators:
            ax.axhline(s, color="lightgrey", lw=0.6)
        ax.set_title(f"{title}, arm minus {REFERENCE}", fontsize=9, pad=28)
        ax.set_xlabel("paired difference (mean, 95 % interval; lower is better)", fontsize=7)
        ax.tick_params(labelsize=6)
        ax.grid(axis="x", color="whitesmoke", lw=0.6)
        ax.legend(fontsize=6.5, loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=2, frameon=False)
    labels = [(y, short_label(e["cell"], e["family"])) for y, e in zip(ys, cells)]
    ticks = sorted(labels + headings)
    axes[0].set_yticks([y for y, _ in ticks], [text for _, text in ticks])
    names = {family for _, family in headings}
    for tick in axes[0].get_yticklabels():
        if tick.get_text() in names:
            tick.set_fontweight("bold")
            tick.set_fontsize(7.5)
    axes[0].set_ylim(max(ys) + 0.8, -0.8)
    meta = data["meta"]
    fig.suptitle(f"{len(cells)} cells, {meta['populations']} populations per cell, {meta['samples']} samples, "
                 f"seed base {meta['seed_base']}", fontsize=9)
    fig.tight_layout()
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out, dpi=120)
    plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("json", type=Path, nargs="?",
                    default=Path(__file__).resolve().parents[1] / "results" / "decisions.json",
                    help="output of run.py (default bench/results/decisions.json)")
    ap.add_argument("--arms", nargs=2, default=["split-place-win", "population"], metavar=("A", "B"))
    ap.add_argument("--out", type=Path, required=True, help="PNG to write")
    args = ap.parse_args(argv)
    data = json.loads(args.json.read_text())
    if not data["cells"]:
        ap.error(f"{args.json}: no cells")
    known = data["cells"][0]["arms"]
    missing = [arm for arm in args.arms if arm not in known]
    if missing:
        ap.error(f"{args.json} has no arm {', '.join(missing)} (it has: {', '.join(known)})")
    draw(data, args.arms, args.out)
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
