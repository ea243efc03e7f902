"""Paired seeds of in-process synchronous PBT: every selection arm on the same seeds, data and noise.

    make bench-pbt-local                # the pre-registered final runs, tables and picture (docs/pbt.md)
    make bench-pbt-smoke                # 1 seed, 2 arms, tiny sizes
    python bench/pbt/local.py run --workload mnist1d --seeds 0-29 --out bench/results/mnist1d.jsonl
    python bench/pbt/local.py run --workload mnist1d-width --smoke --seeds 4900 --out /tmp/width.jsonl
    python bench/pbt/local.py run --mode async-aligned --arms pareto-window --seeds 0-9 --out x.jsonl
    python bench/pbt/local.py table bench/results/mnist1d.jsonl --candidate pareto-reported
    python bench/pbt/local.py plot bench/results/mnist1d.jsonl --arms a,b,c --out docs/pbt-mnist1d.png

`run` appends one JSON line per (arm, seed) and skips those already in the file, so an interrupted
run resumes. `--mode async` / `async-aligned` (or a list, e.g. `sync,async`) runs the asynchronous
loop (`loop.run_async`); its rows are named `<arm>@<mode>`. `table` prints per-arm means and, for
`--candidate`, the paired difference of the final held-out hypervolume against every other arm:
mean, 95 % t interval, n.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from loop import arms, run, run_async
from workloads import Mnist1dMLP, Mnist1dWidth, Toy

SMOKE = dict(trials=6, reports=8, val_samples=500, heldout_samples=1000, train_samples=1000)


def workload(name: str, smoke: bool):
    if name == "toy":
        return Toy()
    if name == "mnist1d-width":
        return Mnist1dWidth(**SMOKE, max_width=16) if smoke else Mnist1dWidth()
    return Mnist1dMLP(**SMOKE, hidden=8) if smoke else Mnist1dMLP()


def seeds(text: str) -> list[int]:
    out: list[int] = []
    for part in text.split(","):
        low, _, high = part.partition("-")
        out += range(int(low), int(high or low) + 1)
    return out


def load(path: str) -> dict[str, dict[int, dict]]:
    rows: dict[str, dict[int, dict]] = {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                row = json.loads(line)
                rows.setdefault(row["arm"], {})[row["seed"]] = row
    return rows


def cmd_run(args: argparse.Namespace) -> None:
    w = workload(args.workload, args.smoke)
    table = arms(w.metrics)
    names = list(table) if args.arms == "all" else args.arms.split(",")
    if not set(args.mode.split(",")) <= {"sync", "async", "async-aligned"}:
        sys.exit(f"--mode: a comma-separated list of sync, async, async-aligned, not {args.mode!r}")
    done = load(args.out)
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    started = time.perf_counter()
    with open(args.out, "a") as f:
        for seed in seeds(args.seeds):
            for arm, mode in ((a, m) for m in args.mode.split(",") for a in names):
                name = arm if mode == "sync" else f"{arm}@{mode}"
                if seed in done.get(name, {}):
                    continue
                t = time.perf_counter()
                if mode == "sync":
                    r = run(w, table[arm], seed)
                else:
                    r = run_async(w, table[arm], seed, aligned=mode == "async-aligned")
                row = {"arm": name, "seed": seed, "hypervolume": r.hypervolume, "curve": r.curve,
                       "exploits": r.exploits, "seconds": time.perf_counter() - t, "configs": r.configs}
                f.write(json.dumps(row) + "\n")
                f.flush()
            print(f"seed {seed} done, {time.perf_counter() - started:.0f} s", flush=True)


def interval(diff: np.ndarray) -> tuple[float, float, float]:
    """Mean and 95 % t interval of the mean."""
    from scipy.stats import t

    n = len(diff)
    half = t.ppf(0.975, n - 1) * diff.std(ddof=1) / np.sqrt(n) if n > 1 else np.nan
    return float(diff.mean()), float(diff.mean() - half), float(diff.mean() + half)


def cmd_table(args: argparse.Namespace) -> None:
    rows = load(args.path)
    print(f"{args.path}: final held-out hypervolume")
    print("| arm | n | mean | sd | seconds per run |")
    print("|---|---|---|---|---|")
    for arm, by_seed in rows.items():
        hv = np.array([r["hypervolume"] for r in by_seed.values()])
        secs = np.mean([r["seconds"] for r in by_seed.values()])
        print(f"| {arm} | {len(hv)} | {hv.mean():.4f} | {hv.std(ddof=1) if len(hv) > 1 else 0:.4f} | {secs:.2f} |")
    if not args.candidate:
        return
    mine = rows[args.candidate]
    print(f"\nPaired differences, {args.candidate} minus each arm (same seeds), 95 % t interval")
    print("| minus | n | mean difference | 95 % CI | above zero |")
    print("|---|---|---|---|---|")
    for arm, by_seed in rows.items():
        common = sorted(set(mine) & set(by_seed))
        if arm == args.candidate or not common:
            continue
        diff = np.array([mine[s]["hypervolume"] - by_seed[s]["hypervolume"] for s in common])
        mean, low, high = interval(diff)
        print(f"| {arm} | {len(diff)} | {mean:+.4f} | [{low:+.4f}, {high:+.4f}] | {'yes' if low > 0 else 'no'} |")


def cmd_plot(args: argparse.Namespace) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = load(args.path)
    names = args.arms.split(",")
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.2))
    base = rows[names[0]]
    for color, arm in enumerate(names):
        common = sorted(set(base) & set(rows[arm]))
        curves = np.array([rows[arm][s]["curve"] for s in common])
        x = (np.arange(curves.shape[1]) + 1) * args.x_per_point
        for ax, y in ((left, curves), (right, np.array([base[s]["curve"] for s in common]) - curves)):
            if ax is right and arm == names[0]:
                continue
            stats = np.array([interval(col) for col in y.T])
            ax.plot(x, stats[:, 0], color=f"C{color}", label=arm if ax is left else f"{names[0]} - {arm}")
            ax.fill_between(x, stats[:, 1], stats[:, 2], color=f"C{color}", alpha=0.15)
    left.set(xlabel=args.x_label, ylabel="held-out hypervolume (mean, 95 % CI)", title=f"{len(base)} paired seeds")
    right.axhline(0.0, color="grey", lw=0.8)
    right.set(xlabel=args.x_label, ylabel="paired difference (mean, 95 % CI)", title=f"{names[0]} minus other arms")
    left.legend(fontsize=8)
    right.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(args.out, dpi=110)
    print(f"wrote {args.out}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("run")
    p.add_argument("--workload", choices=("mnist1d", "mnist1d-width", "toy"), default="mnist1d",
                   help="mnist1d-width: accuracy against the exact model size, the width mutated")
    p.add_argument("--seeds", default="0-29", help="e.g. 0-29 or 1000-1009,2000")
    p.add_argument("--arms", default="all")
    p.add_argument("--mode", default="sync", help="sync, async, async-aligned, or a comma-separated list")
    p.add_argument("--smoke", action="store_true", help="tiny sizes (seconds)")
    p.add_argument("--out", required=True)
    p = sub.add_parser("table")
    p.add_argument("path")
    p.add_argument("--candidate")
    p = sub.add_parser("plot")
    p.add_argument("path")
    p.add_argument("--arms", required=True, help="first one is the reference of the difference panel")
    p.add_argument("--x-per-point", type=float, default=40, help="x units per perturbation interval")
    p.add_argument("--x-label", default="SGD steps")
    p.add_argument("--out", required=True)
    args = parser.parse_args()
    {"run": cmd_run, "table": cmd_table, "plot": cmd_plot}[args.command](args)


if __name__ == "__main__":
    main()
