"""`select`: named results on top of the detailed selection kernel.

`select` turns the user's data (means and variances, or replicates; arrays or DataFrames; minimised
or maximised objectives) into the kernel's minimised means and variances, runs
`mc_rank_select_detailed` (or, for several threads or random ties, `_parallel.select_detailed`; once,
or with doubling sample counts for `n_samples="auto"`) and wraps its nine-slot tuple in a
`SelectionResult` (`_result.py`). The arrays of the kernel's tuple are kept as they are; computed
here are the win and lose probabilities (counts divided by the number of samples), their Wilson
intervals and the uncertain members of the selection.
"""

from __future__ import annotations

import operator
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _frames
from ._defaults import AUTO_FIRST_SAMPLES, AUTO_MAX_SAMPLES, KERNEL_DEFAULTS, STAT_KEYS
from ._mc_rank import mc_rank_select_detailed
from ._prior import Posterior, population_posterior
from ._replicates import reduce_grouped, reduce_long
from ._result import MetricStats, SelectionResult, stats_from_kernel
from ._uncertainty import uncertain_members, wilson_interval

__all__ = ["MetricStats", "SelectionResult", "percentile_for_k", "select"]


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


@dataclass(frozen=True)
class _Data:
    """The population as the user gave it, in float64 arrays, with whatever labels came with it."""

    mu: NDArray[np.float64]
    sigma2: NDArray[np.float64]
    names: tuple[str, ...] | None
    objectives: tuple[str, ...] | None
    counts: NDArray[np.int64] | None


def _as_2d(obj: Any) -> NDArray[np.float64]:
    arr = np.ascontiguousarray(np.asarray(obj, dtype=np.float64))
    if arr.ndim != 2:
        raise ValueError("expected a 2D array")
    return arr


def _labels(given: Sequence[str] | None, found: Sequence[str] | None, size: int, what: str
            ) -> tuple[str, ...] | None:
    if given is not None and found is not None:
        raise ValueError(f"{what}: given twice (the DataFrame already names them)")
    labels = given if given is not None else found
    if labels is None:
        return None
    if isinstance(labels, str) or len(labels) != size:
        raise ValueError(f"{what}: expected a sequence of {size} names, got {labels!r}")
    return tuple(str(v) for v in labels)


def _data(mu: Any, sigma2: Any, replicates: Any, names: Sequence[str] | None,
          objectives: Sequence[str] | None) -> _Data:
    """Means and variances (arrays or DataFrames) or replicates (grouped or a long DataFrame)."""
    found_names: Sequence[str] | None = None
    found_objectives: Sequence[str] | None = None
    counts = None
    if replicates is not None:
        if mu is not None or sigma2 is not None:
            raise TypeError("select() takes either mu and sigma2 or replicates=, not both")
        if _frames.is_frame(replicates):
            rows, values, found_objectives = _frames.long_frame(replicates)
            individuals, m, s2, counts = reduce_long(rows, values, found_objectives)
            found_names = [str(v) for v in individuals]
        else:
            m, s2, counts = reduce_grouped(replicates)
    elif mu is None or sigma2 is None:
        raise TypeError("select() needs mu and sigma2, or replicates=")
    elif _frames.is_frame(mu) or _frames.is_frame(sigma2):
        m, s2, found_names, found_objectives = _frames.frame_arrays(mu, sigma2)
    else:
        m, s2 = _as_2d(mu), _as_2d(sigma2)
        if m.shape != s2.shape:
            raise ValueError("mu and sigma2 must have the same shape")
    return _Data(m, s2, _labels(names, found_names, m.shape[0], "names"),
                 _labels(objectives, found_objectives, m.shape[1], "objectives"), counts)


def _directions(directions: Any, data: _Data) -> tuple[str, ...]:
    m = data.mu.shape[1]
    if directions is None:
        directions = ("min",) * m
    if isinstance(directions, Mapping):
        if data.objectives is None:
            raise ValueError("directions: a mapping needs named objectives (pass objectives= or a "
                             "DataFrame); give a sequence of 'min'/'max' instead")
        given = {str(key): value for key, value in directions.items()}
        unknown = [key for key in given if key not in data.objectives]
        if unknown:
            raise ValueError(f"directions: no objective {unknown[0]!r} (have {', '.join(data.objectives)})")
        directions = [given.get(name, "min") for name in data.objectives]
    elif isinstance(directions, str) or len(directions) != m:
        raise ValueError(f"directions: expected {m} entries 'min' or 'max', got {directions!r}")
    for d in directions:
        if d not in ("min", "max"):
            raise ValueError(f"directions: each entry must be 'min' or 'max', got {d!r}")
    return tuple(str(d) for d in directions)


def _check_variances(data: _Data) -> None:
    bad = np.argwhere(~(np.isfinite(data.sigma2) & (data.sigma2 >= 0.0)))
    if bad.size:
        i, m = (int(v) for v in bad[0])
        label = "".join(f", {what} {labels[j]!r}" for what, labels, j in (
            ("individual", data.names, i), ("objective", data.objectives, m)) if labels is not None)
        raise ValueError(f"sigma2[{i}, {m}]{label}: variance must be a finite number >= 0 "
                         f"(got {float(data.sigma2[i, m])!r})")


def _empty_result(data: _Data, n_samples: int) -> SelectionResult:
    f64, i64 = np.zeros(0), np.zeros(0, dtype=np.int64)
    stats = MetricStats(*(np.zeros(0) for _ in STAT_KEYS))
    return SelectionResult(
        winners=i64, losers=i64.copy(), win_count=np.zeros(0, np.int32), lose_count=np.zeros(0, np.int32),
        rank_sum=i64.copy(), place=stats, front=stats, within=stats, quality_score=f64,
        win_probability=f64.copy(), lose_probability=f64.copy(), n_samples=n_samples,
        quantiles_streamed=False, win_interval=np.zeros((0, 2)), lose_interval=np.zeros((0, 2)),
        uncertain_winners=i64.copy(), uncertain_losers=i64.copy(), mu=data.mu, sigma2=data.sigma2,
        directions=(), names=data.names, objectives=data.objectives, replicate_counts=data.counts,
    )


def _result(raw: tuple[Any, ...], samples: int, data: _Data, directions: tuple[str, ...],
            posterior: Posterior | None = None) -> SelectionResult:
    winners, losers, win_count, lose_count, rank_sum, place, front, within, quality = raw
    win_interval = wilson_interval(win_count, samples)
    lose_interval = wilson_interval(lose_count, samples)
    return SelectionResult(
        winners=winners,
        losers=losers,
        win_count=win_count,
        lose_count=lose_count,
        rank_sum=rank_sum,
        place=stats_from_kernel(place),
        front=stats_from_kernel(front),
        within=stats_from_kernel(within),
        quality_score=quality,
        win_probability=win_count / samples,
        lose_probability=lose_count / samples,
        n_samples=samples,
        quantiles_streamed=bool(place["quantiles_mode_used"]),
        win_interval=win_interval,
        lose_interval=lose_interval,
        uncertain_winners=uncertain_members(winners, win_interval),
        uncertain_losers=uncertain_members(losers, lose_interval),
        mu=data.mu,
        sigma2=data.sigma2,
        directions=directions,
        names=data.names,
        objectives=data.objectives,
        replicate_counts=data.counts,
        **_prior_fields(posterior),
    )


def _prior_fields(posterior: Posterior | None) -> dict[str, Any]:
    """The result's prior fields: the posterior the kernel ran on, or why the observed means were used."""
    if posterior is None:
        return {}
    if not posterior.applied:
        return {"prior_note": posterior.note}
    return {"prior": "population", "posterior_mu": posterior.mu, "posterior_sigma2": posterior.sigma2,
            "prior_note": posterior.note}


_D = KERNEL_DEFAULTS


def select(
    mu: ArrayLike | None = None,
    sigma2: ArrayLike | None = None,
    n_samples: int | Literal["auto"] | None = None,
    *,
    replicates: ArrayLike | Sequence[ArrayLike] | None = None,
    directions: Sequence[str] | Mapping[str, str] | None = None,
    k: int | None = None,
    max_samples: int | None = None,
    names: Sequence[str] | None = None,
    objectives: Sequence[str] | None = None,
    percentile: float = _D["percentile"],
    seed: int = _D["seed"],
    mode_i: int = _D["mode_i"],
    within_mode_i: int = _D["within_mode_i"],
    quantiles_mode_i: int = _D["quantiles_mode_i"],
    quantiles_budget: int = _D["quantiles_budget"],
    quality_w_place: float = _D["quality_w_place"],
    quality_w_front: float = _D["quality_w_front"],
    quality_w_within: float = _D["quality_w_within"],
    quality_sign: float = _D["quality_sign"],
    threads: int = 1,
    ties: Literal["index", "random"] = "index",
    prior: Literal["population"] | None = None,
) -> SelectionResult:
    """Monte-Carlo Pareto selection of N individuals with M noisy objectives, as a named result.

    Each objective is minimised or maximised (`directions`); a NaN mean is the worst value. Each of
    `n_samples` samples draws every objective from Normal(mu, sigma2), Pareto-ranks the sampled
    population and records each individual's place, front and rank inside its front. The result is
    deterministic for a given `seed`.

    Parameters
    ----------
    mu, sigma2:
        (N, M) means and variances of the means: anything NumPy turns into a 2-D float64 array, or
        two pandas DataFrames with the same index (individual names) and columns (objective names)
        in the same order. Variances must be finite and >= 0 (0 means "no noise").
    n_samples:
        Number of Monte-Carlo samples (> 0), or "auto": 1,000 samples, then twice as many with the
        same seed (the first n samples of a longer run are the same samples) until the result is
        `settled` or `max_samples` is reached. Required.
    replicates:
        Instead of `mu` and `sigma2`: raw measurements, reduced by `from_replicates` (an array
        (N, K, M) or a list of N arrays (K_i, M)), or a long DataFrame with one row per measurement:
        the individual is its `name` column, or the row index when there is no such column; every
        other column is an objective.
    directions:
        "min" or "max" per objective, as a sequence or (for named objectives) a mapping from
        objective name to direction, objectives left out being minimised. Default: all minimised.
        Maximised objectives are negated for the kernel; NaN stays the worst value.
    k:
        The exact number of winners and of losers (1 <= k <= N), instead of `percentile`.
    max_samples:
        Largest sample count of `n_samples="auto"` (default 128,000).
    names, objectives:
        Names of the individuals and of the objectives, for the result (not with DataFrames, which
        bring their own).
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
    threads:
        Threads for the sampling, the calling one included (0 = every core this process may run
        on). With ties="index" the result is the one-thread result, bit for bit, for any count.
    ties:
        Inside a Pareto front the rating orders equal crowding scores by index, so low indices win
        ties. "index" (default) keeps that order; "random" presents the population to the rating
        in a fresh order per sample, drawn from a second generator seeded from `seed`, so that
        identical individuals win equally often. The sampled values are the same either way.
    prior:
        None (default): the selection samples the observed means and variances. "population":
        each objective's means are first shrunk toward the population and their variances replaced
        by the posterior ones (`population_posterior`: normal-normal empirical Bayes), so that a
        mean that is high because its noise was lucky is not copied at face value; the noisier a
        mean, the further it moves. With `replicates`, the variances (K - 1 degrees of freedom
        each) are shrunk toward each other first, so that a variance that came out too small by
        chance does not protect its mean. Non-finite means and zero variances are kept. With fewer
        than 4 finite means in an objective, that objective is used as observed (`prior_note`).

    Returns
    -------
    SelectionResult
        An empty population (N = 0) gives the empty result before any other check.

    Raises
    ------
    TypeError
        Without `n_samples`, or without `mu`/`sigma2` and `replicates`, or with both.
    ValueError
        For arrays that are not 2-D or differ in shape, DataFrames that do not line up, a NaN,
        infinite or negative variance (naming the first), bad `directions`, n_samples <= 0,
        percentile outside (0, 1], k outside [1, N] or given with a percentile, threads < 0,
        ties other than "index" or "random", prior other than None or "population".
    """
    data = _data(mu, sigma2, replicates, names, objectives)
    if n_samples is None:
        raise TypeError("select() missing required argument 'n_samples' (a count > 0 or 'auto')")
    auto = isinstance(n_samples, str)
    if auto and n_samples != "auto":
        raise ValueError(f"n_samples must be a count > 0 or 'auto', got {n_samples!r}")
    if max_samples is not None and not auto:
        raise ValueError("max_samples applies only to n_samples='auto'")
    if prior not in (None, "population"):
        raise ValueError(f"prior must be None or 'population', got {prior!r}")
    n = data.mu.shape[0]
    if n == 0:
        return _empty_result(data, 0 if auto else int(n_samples))
    dirs = _directions(directions, data)
    _check_variances(data)
    if k is not None:
        if percentile != _D["percentile"]:
            raise ValueError("give either k or percentile, not both")
        percentile = percentile_for_k(operator.index(k), n)
    posterior = None
    if prior is not None:  # variances from K >= 2 replicates have K - 1 dof; pooled ones count as known
        dof = None if data.counts is None else np.where(data.counts > 1, data.counts - 1.0, np.inf)
        posterior = population_posterior(data.mu, data.sigma2, dof)
    used_mu, used_sigma2 = (data.mu, data.sigma2) if posterior is None else (posterior.mu, posterior.sigma2)
    flip = np.array([d == "max" for d in dirs])
    kernel_mu = np.where(flip, -used_mu, used_mu) if flip.any() else used_mu
    options = (percentile, seed, mode_i, within_mode_i, quantiles_mode_i, quantiles_budget,
               quality_w_place, quality_w_front, quality_w_within, quality_sign)

    def run(samples: Any) -> SelectionResult:
        if threads == 1 and ties == "index":
            raw = mc_rank_select_detailed(kernel_mu, used_sigma2, samples, *options)
        else:  # the threaded extension is loaded only when asked for
            from . import _parallel

            raw = _parallel.select_detailed(kernel_mu, used_sigma2, samples, *options, threads=threads, ties=ties)
        return _result(raw, int(samples), data, dirs, posterior)

    if not auto:
        return run(n_samples)
    limit = AUTO_MAX_SAMPLES if max_samples is None else operator.index(max_samples)
    if limit <= 0:
        raise ValueError(f"max_samples must be > 0, got {limit}")
    samples = min(AUTO_FIRST_SAMPLES, limit)
    while True:
        result = run(samples)
        if result.settled or samples >= limit:
            return result
        samples = min(2 * samples, limit)
