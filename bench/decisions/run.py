"""Decision quality against ground truth: which individuals a selection copies and replaces, scored
on the true objective values it never saw.

    make bench-decisions                # or: .venv/bin/python bench/decisions/run.py [--populations 1000]
    make bench-decisions-smoke          # a few populations per cell, seconds

Each population has known true objective vectors (minimised): a uniform cloud in [0, 1]^M, or points
near a front (half on the unit sphere's positive orthant, radius 1 to 1.05; half behind it, radius
1.1 to 1.6). Observed means are truth + Gaussian noise, one standard deviation per individual for all
its objectives:
  equal   0.15 for everybody;
  mixed   0.15, and 10x that (1.5, in standard deviation) for a random quarter of the population;
  graded  log-uniform over a decade, 0.05 to 0.5.
Variances are either known (sigma2 = sd**2) or estimated from 3 replicates of standard deviation
sqrt(3) sd each (the mean has the same noise; its variance is the sample variance / 3 and itself noisy).

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
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from vornaquill.pareto_core import rate_population
from vornaquill.selection_core import from_replicates, population_posterior, select

RESULTS = Path(__file__).resolve().parents[1] / "results"
SHAPES = ((16, 2), (32, 3))
GEOMETRIES = ("cloud", "front")
NOISES = ("equal", "mixed", "graded")
VARIANCES = ("known", "3 replicates")
REPLICATES = 3
BASE_SD = 0.15
METRICS = ("excess", "shortfall", "killed", "bad_win")
Z95 = 1.959963984540054
FINAL_SEED_BASE = 20261208  # the method was developed on seed base 0 only


def truth(rng: np.random.Generator, n: int, m: int, geometry: str) -> np.ndarray:
    if geometry == "cloud":
        return rng.random((n, m))
    direction = np.abs(rng.normal(size=(n, m)))
    direction /= np.linalg.norm(direction, axis=1, keepdims=True)
    near = np.arange(n) < n // 2
    radius = np.where(near, 1.0 + 0.05 * rng.random(n), 1.1 + 0.5 * rng.random(n))
    return direction * radius[:, None]


def noise_sd(rng: np.random.Generator, n: int, noise: str) -> np.ndarray:
    if noise == "equal":
        return np.full(n, BASE_SD)
    if noise == "mixed":
        sd = np.full(n, BASE_SD)
        sd[rng.permutation(n)[: n // 4]] *= 10.0
        return sd
    return 0.05 * 10.0 ** rng.random(n)


@dataclass(frozen=True)
class Observed:
    """What a selection sees: means and variances, and the replicates they came from (or None)."""

    mu: np.ndarray
    sigma2: np.ndarray
    replicates: np.ndarray | None


def observe(rng: np.random.Generator, true: np.ndarray, sd: np.ndarray, variances: str) -> Observed:
    if variances == "known":
        return Observed(true + sd[:, None] * rng.normal(size=true.shape),
                        np.repeat(sd[:, None] ** 2, true.shape[1], axis=1), None)
    reps = true[:, None, :] + np.sqrt(REPLICATES) * sd[:, None, None] * rng.normal(
        size=(true.shape[0], REPLICATES, true.shape[1]))
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
                        "pop-known-var": _population_without_dof, "posterior-rank": _posterior_ranked}


def score(order_place: np.ndarray, winners: np.ndarray, losers: np.ndarray, k: int) -> np.ndarray:
    n = len(order_place)
    w, lo = order_place[winners], order_place[losers]
    return np.array([w.mean() - (k - 1) / 2, (n - 1 - (k - 1) / 2) - lo.mean(),
                     (lo < n / 2).mean(), (w >= n / 2).mean()])


def cells() -> list[tuple[int, int, str, str, str]]:
    return [(n, m, g, noise, v) for n, m in SHAPES for g in GEOMETRIES for noise in NOISES for v in VARIANCES]


def run_cell(index: int, cell: tuple[int, int, str, str, str], populations: int, seed_base: int, samples: int,
             arms: dict[str, Arm]) -> dict[str, np.ndarray]:
    """Per-population metrics (populations, 4) of every arm in one cell."""
    n, m, geometry, noise, variances = cell
    k = n // 4
    out = {name: np.empty((populations, len(METRICS))) for name in arms}
    for p in range(populations):
        rng = np.random.default_rng([seed_base, index, p])
        true = truth(rng, n, m, geometry)
        sd = noise_sd(rng, n, noise)
        obs = observe(rng, true, sd, variances)
        place = np.empty(n)
        place[rate_population(true)[2]] = np.arange(n)
        seed = int(rng.integers(2**63))
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


def label(cell: tuple[int, int, str, str, str]) -> str:
    n, m, geometry, noise, variances = cell
    return f"N={n} M={m} {geometry} {noise} {variances}"


def print_table(results: list[dict[str, object]], reference: str = "mc") -> None:
    print(f"{'cell':38} {'arm':14} {'excess':>7} {'diff vs ' + reference + ' [95% CI]':>28} {'rel':>6} "
          f"{'shortf':>7} {'diff [95% CI]':>26} {'killed':>7} {'bad_win':>7}")
    for entry in results:
        for name, row in entry["arms"].items():
            d, lo, hi = row[f"excess_vs_{reference}"]
            ds, los, his = row[f"shortfall_vs_{reference}"]
            ref = entry["arms"][reference]["excess"]
            rel = f"{-100 * d / ref:+5.1f}%" if ref else "   -  "
            print(f"{entry['cell']:38} {name:14} {row['excess']:7.3f} {d:+8.3f} [{lo:+7.3f}, {hi:+7.3f}] {rel:>6} "
                  f"{row['shortfall']:7.3f} {ds:+7.3f} [{los:+7.3f}, {his:+7.3f}] "
                  f"{100 * row['killed']:6.1f}% {100 * row['bad_win']:6.1f}%")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--populations", type=int, default=1000, help="populations per cell (default 1000)")
    ap.add_argument("--samples", type=int, default=500, help="Monte-Carlo samples per selection (default 500)")
    ap.add_argument("--seed-base", type=int, default=FINAL_SEED_BASE, help="first entropy word of every "
                    f"population's generator: 0 = development range, {FINAL_SEED_BASE} = the pre-registered "
                    "final range (default)")
    ap.add_argument("--quick", action="store_true", help="smoke run: 8 populations per cell, 100 samples")
    ap.add_argument("--arms", nargs="+", choices=list(ARMS), default=list(ARMS))
    ap.add_argument("--cells", default="", metavar="TEXT", help="only the cells whose label contains TEXT")
    ap.add_argument("--output", type=Path, default=RESULTS / "decisions.json")
    args = ap.parse_args(argv)
    populations, samples = (8, 100) if args.quick else (args.populations, args.samples)
    arms = {name: ARMS[name] for name in args.arms}
    started = time.perf_counter()
    results = []
    for index, cell in enumerate(cells()):
        if args.cells not in label(cell):
            continue
        per_arm = run_cell(index, cell, populations, args.seed_base, samples, arms)
        results.append({"cell": label(cell), "arms": summarise(per_arm)})
    print_table(results)
    seconds = time.perf_counter() - started
    meta = {"command": " ".join(sys.argv), "populations": populations, "samples": samples,
            "seed_base": args.seed_base, "seconds": round(seconds, 1), "python": platform.python_version(),
            "numpy": np.__version__, "machine": platform.machine(), "date": time.strftime("%Y-%m-%d %H:%M UTC",
                                                                                         time.gmtime())}
    print(f"\n{populations} populations per cell, {samples} samples, seed base {args.seed_base}: {seconds:.1f} s")
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps({"meta": meta, "cells": results}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
