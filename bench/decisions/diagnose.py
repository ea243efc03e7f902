"""Why a selection's losers (or winners) go wrong: calibration of its bottom-k (top-k) probabilities.

    .venv/bin/python bench/decisions/diagnose.py --cells "N=32 M=3 cloud mixed 3 replicates" --populations 200

For every population of a cell (the generator streams of run.py), each arm's selection reports per
individual the probability of landing in the bottom k of a sampled order (`lose_probability`; top k:
`win_probability`) and its mean sampled place. Grouped by the individual's true noise (the noisiest
quarter against the rest) and by probability bins, the table compares the mean stated probability with
the frequency of the event on the truth (place >= N - k; place < k), and the mean sampled place with the
mean true place. A calibrated posterior states, in each group and bin, the frequency that comes out.
With --variances (replicate cells), the estimated and the moderated variances of each group as
multiples of the true ones: the prior's moderation of estimated variances, measured.
Development seeds only (seed base 0 by default).
"""

from __future__ import annotations

import argparse
import sys
from itertools import pairwise

import numpy as np

from run import cells, interval, label, population, score
from vornaquill.selection_core import select
from vornaquill.selection_core._prior import _moderated

BINS = (0.0, 0.05, 0.2, 0.5, 1.01)


def _selections(obs, sd, k, samples, seed):
    """Today's selection, the prior as users call it, and (an oracle) the prior given the true variances
    of the means: where it differs from the prior, the estimated variances are to blame."""
    data = {"replicates": obs.replicates} if obs.replicates is not None else {"mu": obs.mu, "sigma2": obs.sigma2}
    return {"mc": select(obs.mu, obs.sigma2, samples, k=k, seed=seed),
            "population": select(**data, n_samples=samples, k=k, seed=seed, prior="population"),
            "pop-true-var": select(obs.mu, sd**2, samples, k=k, seed=seed, prior="population")}


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--cells", required=True, metavar="TEXT", help="the cells whose label contains TEXT")
    ap.add_argument("--populations", type=int, default=200)
    ap.add_argument("--samples", type=int, default=300)
    ap.add_argument("--seed-base", type=int, default=0)
    ap.add_argument("--variances", action="store_true", help="the moderation of estimated variances instead")
    args = ap.parse_args(argv)
    if args.variances:
        return variances(args)
    for cell in (c for c in cells() if args.cells in label(c)):
        n, k = cell.n, cell.n // 4
        rows: dict[str, list[np.ndarray]] = {}
        scores: dict[str, list[np.ndarray]] = {}
        for p in range(args.populations):
            _, sd, obs, place, seed = population(cell, args.seed_base, p)
            noisy = sd.mean(axis=1) >= np.quantile(sd.mean(axis=1), 0.75)
            for name, r in _selections(obs, sd, k, args.samples, seed).items():
                scores.setdefault(name, []).append(score(place, r.winners, r.losers, k))
                rows.setdefault(name, []).append(np.column_stack(
                    [noisy, r.lose_probability, place >= n - k, r.win_probability, place < k,
                     r.rank_sum / r.n_samples, place]))
        print(f"\n{label(cell)}: {args.populations} populations, {args.samples} samples, seed base {args.seed_base}")
        mc = np.array(scores["mc"])
        for name, values in scores.items():
            ex, sh = (interval(np.array(values)[:, j] - mc[:, j]) for j in (0, 1))
            print(f"{name:12} excess - mc {ex[0]:+.3f} [{ex[1]:+.3f}, {ex[2]:+.3f}]   "
                  f"shortfall - mc {sh[0]:+.3f} [{sh[1]:+.3f}, {sh[2]:+.3f}]")
        print(f"{'arm':12} {'group':6} {'side':5} {'bin':11} {'count':>6} {'stated':>7} {'true':>7}")
        for name, parts in rows.items():
            a = np.concatenate(parts)
            for group, mask in (("noisy", a[:, 0] == 1), ("quiet", a[:, 0] == 0)):
                if not mask.any():  # equal noise: everybody counts as noisy
                    continue
                print(f"{name:12} {group:6} place {'(mean)':11} {mask.sum():6d} {a[mask, 5].mean():7.2f} "
                      f"{a[mask, 6].mean():7.2f}")
                for side, col in (("lose", 1), ("win", 3)):
                    for lo, hi in pairwise(BINS):
                        sel = mask & (a[:, col] >= lo) & (a[:, col] < hi)
                        if sel.any():
                            print(f"{name:12} {group:6} {side:5} [{lo:.2f},{min(hi, 1):.2f}) {sel.sum():6d} "
                                  f"{a[sel, col].mean():7.3f} {a[sel, col + 1].mean():7.3f}")
    return 0


def variances(args: argparse.Namespace) -> int:
    print(f"{'cell':40} {'group':6} {'variances':10} {'q10':>5} {'median':>6} {'q90':>5}  (multiples of the true)")
    for cell in (c for c in cells() if args.cells in label(c) and c.variances != "known"):
        ratios: dict[tuple[str, str], list[np.ndarray]] = {}
        for p in range(args.populations):
            _, sd, obs, _, _ = population(cell, args.seed_base, p)
            dof = np.full(cell.n, obs.replicates.shape[1] - 1.0)
            moderated = np.column_stack([_moderated(obs.sigma2[:, j], dof) for j in range(cell.m)])
            noisy = sd.mean(axis=1) >= np.quantile(sd.mean(axis=1), 0.75)
            for group, mask in (("noisy", noisy), ("quiet", ~noisy)):
                for kind, v in (("estimated", obs.sigma2), ("moderated", moderated)):
                    noisy_cols = mask[:, None] & (sd > 0)  # an exact objective has nothing to moderate
                    ratios.setdefault((group, kind), []).append(v[noisy_cols] / sd[noisy_cols] ** 2)
        for (group, kind), parts in ratios.items():
            if not sum(len(part) for part in parts):
                continue
            q = np.quantile(np.concatenate(parts), (0.1, 0.5, 0.9))
            print(f"{label(cell):40} {group:6} {kind:10} {q[0]:5.2f} {q[1]:6.2f} {q[2]:5.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
