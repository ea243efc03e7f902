"""One SHA-256 over the results of every public function, for behaviour-preserving changes.

Runs the three kernels (all quantile modes), `select` and `rate_population` over a fixed grid of
shapes, both rating modes, two seeds, and zero and NaN variances, and hashes every returned array's
dtype, shape and bytes. Two builds give the same digest exactly when they return the same bytes.

    python tools/result_hash.py          # prints the digest
"""

from __future__ import annotations

import hashlib

import numpy as np

from vornaquill.pareto_core import rate_population
from vornaquill.selection_core import (
    mc_rank_counts,
    mc_rank_select,
    mc_rank_select_detailed,
    select,
)

SHAPES = [(1, 1), (2, 2), (7, 3), (16, 2), (33, 5), (64, 3), (257, 2), (300, 4), (1100, 2)]
# Fields of `select`'s result that existed when this check was written; later fields are not hashed.
SELECT_FIELDS = ("winners", "losers", "win_count", "lose_count", "rank_sum", "quality_score",
                 "win_probability", "lose_probability")
STAT_FIELDS = ("mean", "std", "median", "q25", "q75")
METRICS = ("place", "front", "within")


def _feed(h: hashlib._Hash, value: object) -> None:
    if isinstance(value, np.ndarray):
        h.update(f"{value.dtype.str}{value.shape}".encode())
        h.update(np.ascontiguousarray(value).tobytes())
    elif isinstance(value, dict):
        for key in sorted(value):
            h.update(key.encode())
            _feed(h, value[key])
    elif isinstance(value, (tuple, list)):
        h.update(f"seq{len(value)}".encode())
        for item in value:
            _feed(h, item)
    else:
        h.update(repr(value).encode())


def _population(n: int, m: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(1000 * n + m + seed)
    mu = rng.normal(size=(n, m)).round(1)  # rounded: ties between individuals
    sigma2 = rng.uniform(0.0, 0.5, size=(n, m))
    sigma2[rng.random((n, m)) < 0.2] = 0.0
    if n > 2:
        sigma2[1, 0] = np.nan
        mu[2, -1] = np.nan
    return mu, sigma2


def _selected(mu: np.ndarray, sigma2: np.ndarray, samples: int, seed: int, mode: int) -> list[object]:
    """The hashed values of `select`'s result: its fields, then each metric's statistics, then the
    sample count and quantile mode. For a population with a NaN variance, which `select` refuses,
    the same values from the kernel's tuple (`select` keeps the kernel's arrays and divides the
    counts by the number of samples)."""
    if np.isfinite(sigma2).all():
        r = select(mu, sigma2, samples, seed=seed, mode_i=mode)
        stats = [[getattr(getattr(r, metric), f) for f in STAT_FIELDS] for metric in METRICS]
        return [[getattr(r, f) for f in SELECT_FIELDS], *stats, (r.n_samples, r.quantiles_streamed)]
    winners, losers, win, lose, rank_sum, *raw_stats, quality = mc_rank_select_detailed(
        mu, sigma2, samples, seed=seed, mode_i=mode)
    fields = [winners, losers, win, lose, rank_sum, quality, win / samples, lose / samples]
    stats = [[d[f] for f in STAT_FIELDS] for d in raw_stats]
    return [fields, *stats, (samples, bool(raw_stats[0]["quantiles_mode_used"]))]


def digest() -> str:
    h = hashlib.sha256()
    for n, m in SHAPES:
        for seed in (0, 12345):
            mu, sigma2 = _population(n, m, seed)
            samples = 3 if n > 500 else 40
            for mode in (0, 1):
                h.update(f"|{n},{m},{seed},{mode}|".encode())
                _feed(h, rate_population(mu, mode))
                _feed(h, mc_rank_counts(mu, sigma2, samples, 0.2, seed, mode, 0))
                _feed(h, mc_rank_select(mu, sigma2, samples, 0.3, seed, mode, 0))
                for qmode in (0, 1, 2):
                    _feed(h, mc_rank_select_detailed(mu, sigma2, samples, 0.2, seed, mode, 0,
                                                     qmode, 100, 1.0, 0.5, 2.0, -1.0))
                for value in _selected(mu, sigma2, samples, seed, mode):
                    _feed(h, value)
    return h.hexdigest()


if __name__ == "__main__":
    print(digest())
