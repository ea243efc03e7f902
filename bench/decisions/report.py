"""The pre-registered verdicts of a decisions run, from its JSON (docs/decisions.md, second round).

    python bench/decisions/report.py [bench/results/decisions.json]

Part 1 (the prior, `population` against `mc`) and part 2 (the two-sided rule, `split-place-win`,
and every other arm) read the same per-cell paired differences: mean and 95 % normal interval of
arm minus `mc` over the cell's populations. A cell fails a side when its interval lies entirely
above zero (the arm worse); each failure is printed with its Bonferroni interval (3.45 standard
errors for part 1's 88 intervals of one metric, 3.63 for part 2's 176 of one arm) and whether the
failure survives it. Relative reduction of `excess` = -difference / mean of `mc`."""

from __future__ import annotations

import json
import sys
from pathlib import Path
from statistics import NormalDist

from run import MIXED_N32, Z95  # the harness's own cell labels and normal quantile (same folder)


def bonferroni(intervals: int) -> float:
    return NormalDist().inv_cdf(1 - 0.025 / intervals)


def failures(cells: list[dict], arm: str, side: str, factor: float) -> list[str]:
    out = []
    for c in cells:
        mean, lo, hi = c["arms"][arm][f"{side}_vs_mc"]
        if lo > 0:
            se = (hi - lo) / (2 * Z95)
            wide = (mean - factor * se, mean + factor * se)
            keeps = "survives" if wide[0] > 0 else "does not survive"
            out.append(f"    {side:9} worse at {c['cell']}: {mean:+.3f} [{lo:+.3f}, {hi:+.3f}]; "
                       f"Bonferroni [{wide[0]:+.3f}, {wide[1]:+.3f}] {keeps}")
    return out


def reduction(cell: dict, arm: str) -> float:
    return -cell["arms"][arm]["excess_vs_mc"][0] / cell["arms"]["mc"]["excess"]


def verdict(cells: list[dict], arm: str, factor: float, label: str, gain_needed: float | None = 0.25) -> None:
    ex, sh = failures(cells, arm, "excess", factor), failures(cells, arm, "shortfall", factor)
    by_label = {c["cell"]: c for c in cells}
    mixed = [reduction(by_label[x], arm) for x in MIXED_N32 if x in by_label]
    gain = sum(mixed) / len(mixed) if mixed else float("nan")
    print(f"{arm:16} {label:9} cells {len(cells):2}  winners worse {len(ex):2}  losers worse {len(sh):2}  "
          f"mixed N=32 gain {gain:+.1%}"
          + ("" if gain_needed is None else "  met" if not ex and not sh and gain >= gain_needed else "  not met"))
    for line in ex + sh:
        print(line)


def main() -> None:
    path = Path(sys.argv[1] if len(sys.argv) > 1 else "bench/results/decisions.json")
    run = json.loads(path.read_text())
    cells, meta = run["cells"], run["meta"]
    print(f"{path}: {len(cells)} cells, {meta['populations']} populations, {meta['samples']} samples, "
          f"seed base {meta['seed_base']}\n")
    print("Part 1: population against mc (Bonferroni over 88 intervals of one metric)")
    mixed = [reduction(c, "population") for c in cells if c["family"] == "base" and c["cell"] in MIXED_N32]
    met = min(mixed) >= 0.10 and sum(mixed) >= 0.15 * len(mixed)
    print(f"  criterion 3 (each >= 10 %, mean >= 15 %): {', '.join(f'{r:+.1%}' for r in mixed)}; mean "
          f"{sum(mixed) / len(mixed):+.1%}: " + ("met" if met else "not met"))
    for fam in dict.fromkeys(c["family"] for c in cells):
        sub = [c for c in cells if c["family"] == fam]
        red = sorted(reduction(c, "population") for c in sub if c["arms"]["mc"]["excess"] > 0)
        print(f"  family {fam:8}: excess reduction per cell from {red[0]:+.1%} to {red[-1]:+.1%}, "
              f"median {red[len(red) // 2]:+.1%}")
    verdict(cells, "population", bonferroni(88), "all", gain_needed=None)
    print("\nPart 2: every arm against mc (criteria 1-3; Bonferroni over the arm's 176 intervals)")
    base = [c for c in cells if c["family"] == "base"]
    for arm in [a for a in cells[0]["arms"] if a != "mc"]:
        verdict(cells, arm, bonferroni(176), "all")
        verdict(base, arm, bonferroni(176), "base")
    # The run keeps differences to `mc` only, so the direct comparison has means but no paired interval.
    print("\nsplit-place-win minus population, per cell: mean excess; mean shortfall (no interval)")
    for c in cells:
        a, b = c["arms"]["split-place-win"], c["arms"]["population"]
        print(f"    {c['cell']:44} {a['excess'] - b['excess']:+.3f}; {a['shortfall'] - b['shortfall']:+.3f}")


if __name__ == "__main__":
    main()
