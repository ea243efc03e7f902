"""Named results on top of the detailed selection kernel.

`select` runs `mc_rank_select_detailed` once and wraps its nine-slot tuple in a frozen dataclass. The
arrays in the result are the very arrays the kernel returned; the only values computed here are the
win and lose probabilities (counts divided by the number of samples).
"""

from __future__ import annotations

from dataclasses import dataclass
from collections.abc import Mapping
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._mc_rank import mc_rank_select_detailed

__all__ = ["MetricStats", "SelectionResult", "select"]

_METRICS = ("place", "front", "within")
_STAT_KEYS = ("mean", "std", "median", "q25", "q75")


@dataclass(frozen=True, eq=False)
class MetricStats:
    """Distribution of one per-sample observation over the Monte-Carlo samples, per individual.

    The observation is a 0-based count: the place in the sample's global order, the index of the
    Pareto front, or the rank inside the front. Every array has shape (N,).

    Attributes
    ----------
    mean, std:
        Exact mean and population standard deviation (divisor: number of samples).
    median, q25, q75:
        Median and quartiles; exact or streaming estimates, see
        `SelectionResult.quantiles_streamed`.
    """

    mean: NDArray[np.float64]
    std: NDArray[np.float64]
    median: NDArray[np.float64]
    q25: NDArray[np.float64]
    q75: NDArray[np.float64]

    def to_dict(self) -> dict[str, list[float]]:
        """The five arrays as plain lists, keyed by attribute name."""
        return {key: getattr(self, key).tolist() for key in _STAT_KEYS}


@dataclass(frozen=True, eq=False)
class SelectionResult:
    """Result of `select`: winners, losers and per-individual statistics of N individuals.

    Attributes
    ----------
    winners, losers:
        int64 indices, k = ceil(percentile * N) of each (at least 1 when N >= 1). Winners are ordered
        by most wins, then smallest rank sum, then index; losers by most losses, then largest rank
        sum, then index. An individual can be in both lists.
    win_count, lose_count:
        int32 (N,): samples in which the individual was among the first / last k of the global order.
    rank_sum:
        int64 (N,): sum over samples of the individual's 0-based place in the global order.
    place, front, within:
        `MetricStats` of the place in the global order, the front index and the rank inside the front.
    quality_score:
        float64 (N,): quality_sign * (w_place * place.mean + w_front * front.mean
        + w_within * within.mean); with the defaults, higher is better.
    win_probability, lose_probability:
        float64 (N,): win_count / n_samples and lose_count / n_samples.
    n_samples:
        Number of Monte-Carlo samples drawn.
    quantiles_streamed:
        True when the medians and quartiles are streaming (P²) estimates, False when they are exact
        sample quantiles (always False for an empty population).
    """

    winners: NDArray[np.int64]
    losers: NDArray[np.int64]
    win_count: NDArray[np.int32]
    lose_count: NDArray[np.int32]
    rank_sum: NDArray[np.int64]
    place: MetricStats
    front: MetricStats
    within: MetricStats
    quality_score: NDArray[np.float64]
    win_probability: NDArray[np.float64]
    lose_probability: NDArray[np.float64]
    n_samples: int
    quantiles_streamed: bool

    def to_dict(self) -> dict[str, Any]:
        """A JSON-ready dict: arrays as lists, statistics as nested dicts ("place_stats", ...)."""
        out: dict[str, Any] = {
            "n_samples": self.n_samples,
            "quantiles_mode_used": "streaming" if self.quantiles_streamed else "exact",
        }
        for key in ("winners", "losers", "win_count", "lose_count", "rank_sum"):
            out[key] = getattr(self, key).tolist()
        for metric in _METRICS:
            out[f"{metric}_stats"] = getattr(self, metric).to_dict()
        for key in ("quality_score", "win_probability", "lose_probability"):
            out[key] = getattr(self, key).tolist()
        return out


def percentile_for_k(k: int, n: int) -> float:
    """The largest `percentile` for which the kernels select exactly `k` of `n` individuals.

    The kernels take ceil(percentile * n) on a rounded double product, so k / n itself can give
    k + 1 (k = 7, n = 25: 0.28 * 25 = 7.000000000000001). Steps k / n down by units in the last
    place until the product no longer rounds above k. Needs 1 <= k <= n.
    """
    if not 1 <= k <= n:
        raise ValueError(f"k must be between 1 and the number of individuals ({n}), got {k}")
    p = k / n
    while p * n > k:
        p = float(np.nextafter(p, 0.0))
    return p


def _stats(raw: Mapping[str, Any]) -> MetricStats:
    return MetricStats(**{key: raw[key] for key in _STAT_KEYS})


def select(
    mu: ArrayLike,
    sigma2: ArrayLike,
    n_samples: int,
    *,
    percentile: float = 0.2,
    seed: int = 0,
    mode_i: int = 1,
    within_mode_i: int = 0,
    quantiles_mode_i: int = 2,
    quantiles_budget: int = 2_500_000,
    quality_w_place: float = 1.0,
    quality_w_front: float = 1.0,
    quality_w_within: float = 1.0,
    quality_sign: float = -1.0,
) -> SelectionResult:
    """Monte-Carlo Pareto selection of N individuals with M noisy objectives, as a named result.

    Every objective is minimised; a NaN value ranks after every number. Each of `n_samples` samples
    draws every objective from Normal(mu, sigma2), Pareto-ranks the sampled population and records
    each individual's place, front and rank inside its front. The result is deterministic for a
    given `seed`.

    Parameters
    ----------
    mu, sigma2:
        (N, M) means and variances (anything NumPy turns into a 2-D float64 array); variances <= 0
        mean "no noise".
    n_samples:
        Number of Monte-Carlo samples (> 0).
    percentile:
        Fraction of the global order counted as top (win) and bottom (loss) per sample, and the
        fraction selected as winners and losers; in (0, 1].
    seed:
        Generator seed, 0 <= seed < 2**64.
    mode_i:
        1 = crowding computed on per-objective ranks (robust to scale), 0 = on raw values.
    within_mode_i:
        0 = crowding distance inside each front (the only mode).
    quantiles_mode_i:
        0 = exact quantiles (stores n_samples * N values per metric), 1 = streaming P² estimates,
        any other value = exact while n_samples * N <= quantiles_budget, streaming beyond.
    quantiles_budget:
        Largest n_samples * N kept for exact quantiles in the automatic mode.
    quality_w_place, quality_w_front, quality_w_within, quality_sign:
        Weights and sign of the quality score.

    Returns
    -------
    SelectionResult

    Raises
    ------
    ValueError
        For arrays that are not 2-D or differ in shape, n_samples <= 0, percentile outside (0, 1].
    """
    raw = mc_rank_select_detailed(
        mu,
        sigma2,
        n_samples,
        percentile,
        seed,
        mode_i,
        within_mode_i,
        quantiles_mode_i,
        quantiles_budget,
        quality_w_place,
        quality_w_front,
        quality_w_within,
        quality_sign,
    )
    winners, losers, win_count, lose_count, rank_sum, place, front, within, quality = raw
    # The empty population (N = 0) is returned before any sampling; its dicts carry no mode.
    streamed = bool(place.get("quantiles_mode_used", 0))
    samples = int(n_samples)
    return SelectionResult(
        winners=winners,
        losers=losers,
        win_count=win_count,
        lose_count=lose_count,
        rank_sum=rank_sum,
        place=_stats(place),
        front=_stats(front),
        within=_stats(within),
        quality_score=quality,
        win_probability=win_count / samples,
        lose_probability=lose_count / samples,
        n_samples=samples,
        quantiles_streamed=streamed,
    )
