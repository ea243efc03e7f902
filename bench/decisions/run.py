"""Decision quality against ground truth: which individuals a selection copies and replaces, scored
on the true objective values it never saw.

    make bench-decisions                # or: .venv/bin/python bench/decisions/run.py [--populations 1000]
    make bench-decisions-smoke          # a few populations per cell, seconds

Each population has known true objective vectors (minimised). Cells come in families (--families):

  base      geometry `cloud` (uniform in [0, 1]^M) or `front` (half on the unit sphere's positive
            orthant, radius 1 to 1.05; half behind it, radius 1.1 to 1.6), Gaussian noise with one
            standard deviation per individual for all its objectives:
              equal   0.15 for everybody;
              mixed   0.15, and 10x that (1.5, in standard deviation) for a random quarter;
              graded  log-uniform over a decade, 0.05 to 0.5;
  clusters  4 clusters of near-copies: centres uniform in [0, 1]^M, each individual a random
            centre + Normal(0, 0.02^2) per objective (the shape after a few exploits); base noises;
  heavy     heavy-tailed truth: 0.5 + 0.2 * Student-t with 2 dof per objective; base noises;
  t3        cloud or front, noise Student-t with 3 dof scaled to the equal or mixed standard
            deviations (t3-equal, t3-mixed; the variance given to the selection is sd^2);
  growing   cloud or front, noise that grows with the value: sd = 0.02 + 0.3 * truth, per objective;
  exact     cloud or front, objective 0 exact (a cost such as a parameter count: no noise, variance
            0), the others with equal or mixed noise (exact+equal, exact+mixed).

Each family crosses its geometries and noises with the shapes (N, M) = (16, 2), (32, 3) and the
variances: either known (sigma2 = sd**2) or estimated from 3 replicates of standard deviation
sqrt(3) sd each (the mean has the same noise; its variance is the sample variance / 3 and itself noisy).
The base cells are the 24 cells of the first final run, drawn from the same generator streams.

Every arm selects k = N / 4 winners and losers from the same observed population. Place = 0-based
position in the exact Pareto order of the TRUE values (`rate_population`). Metrics per population:
  excess      winners' mean true place minus the oracle's (k - 1) / 2 (lower is better);
  shortfall   the oracle losers' mean place (N - 1 - (k - 1) / 2) minus the chosen losers' (lower is better);
  killed      fraction of chosen losers truly in the top half (places < N / 2);
  bad_win     fraction of chosen winners truly in the bottom half.
Arms are paired (same populations, same noise, same selection seed); differences against today's
selection ("mc") are the mean of the per-population differences with a 95 % normal interval,
mean +- 1.96 sd / sqrt(n).
"""

from __future__ import annotations

import argparse
import json
import platform
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import NamedTuple

import numpy as np
from candidates import CANDIDATES  # the candidate arms of the two-sided comparison, beside this file

from vornaquill.pareto_core import rate_population
from vornaquill.selection_core import from_replicates, population_posterior, select

RESULTS = Path(__file__).resolve().parents[1] / "results"
SHAPES = ((16, 2), (32, 3))
VARIANCES = ("known", "3 replicates")
BASE_NOISES = ("equal", "mixed", "graded")
# family -> (geometries, noises); a family's cells draw from [seed base, 100 * its position + cell, population]
FAMILIES: dict[str, tuple[tuple[str, ...], tuple[str, ...]]] = {
    "base": (("cloud", "front"), BASE_NOISES),
    "clusters": (("clusters",), BASE_NOISES),
    "heavy": (("heavy",), BASE_NOISES),
    "t3": (("cloud", "front"), ("t3-equal", "t3-mixed")),
    "growing": (("cloud", "front"), ("growing",)),
    "exact": (("cloud", "front"), ("exact+equal", "exact+mixed")),
}
REPLICATES = 3
BASE_SD = 0.15
CLUSTERS, CLUSTER_SD = 4, 0.02
METRICS = ("excess", "shortfall", "killed", "bad_win")
Z95 = 1.959963984540054
# Seed bases: 0 = development (the methods were chosen there, and the smoke run uses it);
# 20261208 = the first final run (base family only); 20261209 = the second final run, pre-registered
# in docs/decisions.md before it ran. A seed base is never reused for a final run.
FINAL_SEED_BASE = 20261209


def truth(rng: np.random.Generator, n: int, m: int, geometry: str) -> np.ndarray:
    if geometry == "cloud":
        return rng.random((n, m))
    if geometry == "clusters":
        centres = rng.random((CLUSTERS, m))
        return centres[rng.integers(CLUSTERS, size=n)] + CLUSTER_SD * rng.normal(size=(n, m))
    if geometry == "heavy":
        return 0.5 + 0.2 * rng.standard_t(2, size=(n, m))
    direction = np.abs(rng.normal(size=(n, m)))
    direction /= np.linalg.norm(direction, axis=1, keepdims=True)
    near = np.arange(n) < n // 2
    radius = np.where(near, 1.0 + 0.05 * rng.random(n), 1.1 + 0.5 * rng.random(n))
    return direction * radius[:, None]


def noise_sd(rng: np.random.Generator, true: np.ndarray, noise: str) -> np.ndarray:
    """(N, M) standard deviations of the observed means."""
    n, m = true.shape
    kind = noise.split("-")[-1].split("+")[-1]
    if kind == "growing":
        return 0.02 + 0.3 * true
    if kind == "equal":
        sd = np.full(n, BASE_SD)
    elif kind == "mixed":
        sd = np.full(n, BASE_SD)
        sd[rng.permutation(n)[: n // 4]] *= 10.0
    else:
        sd = 0.05 * 10.0 ** rng.random(n)
    sd = np.repeat(sd[:, None], m, axis=1)
    if noise.startswith("exact+"):
        sd[:, 0] = 0.0
    return sd


def standard_noise(rng: np.random.Generator, shape: tuple[int, ...], noise: str) -> np.ndarray:
    """Noise of variance 1: Gaussian, or Student-t with 3 dof divided by its sd, sqrt(3)."""
    if noise.startswith("t3-"):
        return rng.standard_t(3, size=shape) / np.sqrt(3.0)
    return rng.normal(size=shape)


@dataclass(frozen=True)
class Observed:
    """What a selection sees: means and variances, and the replicates they came from (or None)."""

    mu: np.ndarray
    sigma2: np.ndarray
    replicates: np.ndarray | None


def observe(rng: np.random.Generator, true: np.ndarray, sd: np.ndarray, noise: str, variances: str) -> Observed:
    if variances == "known":
        return Observed(true + sd * standard_noise(rng, true.shape, noise), sd**2, None)
    n, m = true.shape
    reps = true[:, None, :] + np.sqrt(REPLICATES) * sd[:, None, :] * standard_noise(rng, (n, REPLICATES, m), noise)
    return Observed(*from_replicates(reps), reps)


# An arm maps (what it observes, k, n_samples, seed) to (winners, losers).
Arm = Callable[[Observed, int, int, int], tuple[np.ndarray, np.ndarray]]


def _plain(obs, k, samples, seed):  # rank the observed means, as if exact
    r = select(obs.mu, np.zeros_like(obs.sigma2), 1, k=k)
    return r.winners, r.losers


def _today(obs, k, samples, seed):
    r = select(obs.mu, obs.sigma2, samples, k=k, seed=seed)
    return r.winners, r.losers


def _population(obs, k, samples, seed):  # the default prior as users call it: with replicates when there are
    data = {"replicates": obs.replicates} if obs.replicates is not None else {"mu": obs.mu, "sigma2": obs.sigma2}
    r = select(**data, n_samples=samples, k=k, seed=seed, prior="population")
    return r.winners, r.losers


def _population_without_dof(obs, k, samples, seed):  # means and variances only: variances taken as known
    r = select(obs.mu, obs.sigma2, samples, k=k, seed=seed, prior="population")
    return r.winners, r.losers


def _posterior_ranked(obs, k, samples, seed):  # the posterior means ranked as if exact, no sampling
    post = population_posterior(obs.mu, obs.sigma2)
    r = select(post.mu, np.zeros_like(obs.sigma2), 1, k=k)
    return r.winners, r.losers


ARMS: dict[str, Arm] = {"plain": _plain, "mc": _today, "population": _population,
                        "pop-known-var": _population_without_dof, "posterior-rank": _posterior_ranked,
                        "keep-losers": _population,  # the arm the package's prior was taken from
                        **CANDIDATES}


def score(order_place: np.ndarray, winners: np.ndarray, losers: np.ndarray, k: int) -> np.ndarray:
    n = len(order_place)
    w, lo = order_place[winners], order_place[losers]
    return np.array([w.mean() - (k - 1) / 2, (n - 1 - (k - 1) / 2) - lo.mean(),
                     (lo < n / 2).mean(), (w >= n / 2).mean()])


class Cell(NamedTuple):
    family: str
    index: int  # the cell's entropy word: 100 * the family's position + the cell's position in it
    n: int
    m: int
    geometry: str
    noise: str
    variances: str


def cells(families: Sequence[str] = tuple(FAMILIES)) -> list[Cell]:
    out = []
    for f, family in enumerate(FAMILIES):
        geometries, noises = FAMILIES[family]
        grid = [(n, m, g, noise, v) for n, m in SHAPES for g in geometries for noise in noises for v in VARIANCES]
        out += [Cell(family, 100 * f + i, *c) for i, c in enumerate(grid) if family in families]
    return out


def population(cell: Cell, seed_base: int, p: int) -> tuple[np.ndarray, np.ndarray, Observed, np.ndarray, int]:
    """Population p of a cell: truth, noise sd, what the arms observe, true places, selection seed."""
    rng = np.random.default_rng([seed_base, cell.index, p])
    true = truth(rng, cell.n, cell.m, cell.geometry)
    sd = noise_sd(rng, true, cell.noise)
    obs = observe(rng, true, sd, cell.noise, cell.variances)
    place = np.empty(cell.n)
    place[rate_population(true)[2]] = np.arange(cell.n)
    return true, sd, obs, place, int(rng.integers(2**63))


def run_cell(cell: Cell, populations: int, seed_base: int, samples: int,
             arms: dict[str, Arm]) -> dict[str, np.ndarray]:
    """Per-population metrics (populations, 4) of every arm in one cell."""
    k = cell.n // 4
    out = {name: np.empty((populations, len(METRICS))) for name in arms}
    for p in range(populations):
        _, _, obs, place, seed = population(cell, seed_base, p)
        for name, arm in arms.items():
            out[name][p] = score(place, *arm(obs, k, samples, seed), k)
    return out


def interval(diff: np.ndarray) -> tuple[float, float, float]:
    mean = float(diff.mean())
    half = Z95 * float(diff.std(ddof=1)) / np.sqrt(len(diff)) if len(diff) > 1 else float("nan")
    return mean, mean - half, mean + half


def summarise(per_arm: dict[str, np.ndarray], reference: str = "mc") -> dict[str, dict[str, object]]:
    rows = {}
    for name, values in per_arm.items():
        row: dict[str, object] = {metric: float(values[:, j].mean()) for j, metric in enumerate(METRICS)}
        for j, metric in enumerate(METRICS):
            row[f"{metric}_vs_{reference}"] = interval(values[:, j] - per_arm[reference][:, j])
        rows[name] = row
    return rows


def label(cell: Cell) -> str:
    return f"N={cell.n} M={cell.m} {cell.geometry} {cell.noise} {cell.variances}"


def print_table(results: list[dict[str, object]], reference: str = "mc") -> None:
    print(f"{'cell':40} {'arm':14} {'excess':>7} {'diff vs ' + reference + ' [95% CI]':>28} {'rel':>6} "
          f"{'shortf':>7} {'diff [95% CI]':>26} {'killed':>7} {'bad_win':>7}")
    for entry in results:
        for name, row in entry["arms"].items():
            d, lo, hi = row[f"excess_vs_{reference}"]
            ds, los, his = row[f"shortfall_vs_{reference}"]
            ref = entry["arms"][reference]["excess"]
            rel = f"{-100 * d / ref:+5.1f}%" if ref else "   -  "
            print(f"{entry['cell']:40} {name:14} {row['excess']:7.3f} {d:+8.3f} [{lo:+7.3f}, {hi:+7.3f}] {rel:>6} "
                  f"{row['shortfall']:7.3f} {ds:+7.3f} [{los:+7.3f}, {his:+7.3f}] "
                  f"{100 * row['killed']:6.1f}% {100 * row['bad_win']:6.1f}%")


# Bonferroni factor for the 176 intervals (88 cells, 2 metrics) of one arm: 2.5 % / 176 in each tail.
Z_BONFERRONI_176 = 3.6290


def bonferroni(ci: tuple[float, float, float]) -> tuple[float, float, float]:
    """The 95 % interval widened to the Bonferroni factor (same mean, same standard error)."""
    mean, low, _ = ci
    half = (mean - low) * Z_BONFERRONI_176 / Z95
    return mean, mean - half, mean + half


MIXED_N32 = [f"N=32 M=3 {g} mixed {v}" for g in ("cloud", "front") for v in VARIANCES]


def verdicts(results: list[dict[str, object]], reference: str = "mc") -> dict[str, dict[str, object]]:
    """Per arm, the criteria of the two-sided comparison (docs/decisions.md): the cells in which the
    paired 95 % interval of the winners' excess or of the losers' shortfall against `reference` lies
    entirely above zero (each with its Bonferroni interval), and the mean relative reduction of the
    excess over the four base mixed-noise cells at N = 32 (None when they were not run)."""
    out: dict[str, dict[str, object]] = {}
    for name in results[0]["arms"] if results else ():
        if name == reference:
            continue
        worse = {m: {e["cell"]: bonferroni(e["arms"][name][f"{m}_vs_{reference}"]) for e in results
                     if e["arms"][name][f"{m}_vs_{reference}"][1] > 0} for m in ("excess", "shortfall")}
        mixed = [e["arms"] for e in results if e["cell"] in MIXED_N32]
        gain = (float(np.mean([-a[name]["excess_vs_" + reference][0] / a[reference]["excess"] for a in mixed]))
                if len(mixed) == len(MIXED_N32) else None)
        out[name] = {"cells": len(results), "excess_worse": worse["excess"], "shortfall_worse": worse["shortfall"],
                     "mixed_n32_reduction": gain}
    return out


def print_verdicts(found: dict[str, dict[str, object]]) -> None:
    print(f"\n{'arm':15} {'cells':>5} {'excess worse':>13} {'shortfall worse':>16} {'mixed N=32 gain':>16}")
    for name, v in found.items():
        gain = "-" if v["mixed_n32_reduction"] is None else f"{100 * v['mixed_n32_reduction']:+.1f}%"
        print(f"{name:15} {v['cells']:5d} {len(v['excess_worse']):13d} {len(v['shortfall_worse']):16d} {gain:>16}")
        for metric in ("excess", "shortfall"):
            for cell, (mean, low, high) in v[f"{metric}_worse"].items():
                print(f"    {metric:9} worse at {cell}: {mean:+.3f}, Bonferroni [{low:+.3f}, {high:+.3f}]")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--populations", type=int, default=1000, help="populations per cell (default 1000)")
    ap.add_argument("--samples", type=int, default=500, help="Monte-Carlo samples per selection (default 500)")
    ap.add_argument("--seed-base", type=int, default=FINAL_SEED_BASE, help="first entropy word of every "
                    f"population's generator: 0 = development range, {FINAL_SEED_BASE} = the pre-registered "
                    "final range (default)")
    ap.add_argument("--quick", action="store_true", help="smoke run: 4 populations per cell, 100 samples")
    ap.add_argument("--arms", nargs="+", choices=list(ARMS), default=list(ARMS))
    ap.add_argument("--families", nargs="+", choices=list(FAMILIES), default=list(FAMILIES))
    ap.add_argument("--cells", default="", metavar="TEXT", help="only the cells whose label contains TEXT")
    ap.add_argument("--output", type=Path, default=RESULTS / "decisions.json")
    args = ap.parse_args(argv)
    populations, samples = (4, 100) if args.quick else (args.populations, args.samples)
    arms = {name: ARMS[name] for name in args.arms}
    started = time.perf_counter()
    results = []
    for cell in cells(args.families):
        if args.cells not in label(cell):
            continue
        per_arm = run_cell(cell, populations, args.seed_base, samples, arms)
        results.append({"cell": label(cell), "family": cell.family, "arms": summarise(per_arm)})
    print_table(results)
    found = verdicts(results)
    print_verdicts(found)
    seconds = time.perf_counter() - started
    meta = {"command": " ".join(sys.argv), "populations": populations, "samples": samples,
            "seed_base": args.seed_base, "seconds": round(seconds, 1), "python": platform.python_version(),
            "numpy": np.__version__, "machine": platform.machine(), "date": time.strftime("%Y-%m-%d %H:%M UTC",
                                                                                         time.gmtime())}
    print(f"\n{populations} populations per cell, {samples} samples, seed base {args.seed_base}: {seconds:.1f} s")
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps({"meta": meta, "cells": results, "verdicts": found}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
