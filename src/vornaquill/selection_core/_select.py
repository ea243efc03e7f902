"""`select`: named results on top of the detailed selection kernel.

`select` turns the user's data (means and variances, or replicates; arrays or DataFrames; minimised
or maximised objectives) into the kernel's minimised means and variances, runs
the detailed selection on the threaded extension (`_parallel.select_detailed`, whose results equal
`mc_rank_select_detailed`'s and which can be interrupted and report progress; once, or with
doubling sample counts for `n_samples="auto"`) and wraps its nine-slot tuple in a
`SelectionResult` (`_result.py`). The arrays of the kernel's tuple are kept as they are, except
winners and losers that share an individual where 2k <= N (`disjoint_winners_losers`); computed
here are the win and lose probabilities (counts divided by the number of samples), their Wilson
intervals and the uncertain members of the selection. With the population prior the kernel runs
twice, on the posterior and on the observed values: the winners' side comes from the first, the
losers' side from the second (`winners_beside`).
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence, Set
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _frames, _parallel, _progress
from ._args import argument, check_variances, integer, label, real_array
from ._defaults import (
    AUTO_FIRST_SAMPLES,
    AUTO_MAX_SAMPLES,
    KERNEL_DEFAULTS,
    MODES,
    STAT_KEYS,
    WITHIN_MODES,
)
from ._disjoint import disjoint_winners_losers, winners_beside
from ._prior import Posterior, population_posterior
from ._replicates import reduce_grouped, reduce_long
from ._result import MetricStats, SelectionResult, fresh, stats_from_kernel
from ._uncertainty import uncertain_members, wilson_interval

__all__ = ["MetricStats", "SelectionResult", "percentile_for_k", "select"]


def percentile_for_k(k: int, n: int) -> float:
    """A `percentile` for which the kernels select exactly `k` of `n` individuals.

    The kernels take ceil(percentile * n) on a rounded double product, so k / n itself can give
    k + 1 (k = 7, n = 25: 0.28 * 25 = 7.000000000000001). Returns k / n, stepped down by units in
    the last place until the product no longer rounds above k: the largest such value at or below
    k / n (a slightly larger double can select k too). Needs integers 1 <= k <= n.
    """
    k, n = integer(k, "k"), integer(n, "n")
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


@dataclass(frozen=True)
class Reduced:
    """Means and variances that the caller (the command-line tool) reduced from replicates itself
    with `reduce_long`, and the measurements per individual, given to `select` as `replicates=` so
    that they select as the replicates would (the prior's degrees of freedom); not a public input."""

    mu: NDArray[np.float64]
    sigma2: NDArray[np.float64]
    counts: NDArray[np.int64] | None


def _as_2d(obj: Any, what: str) -> NDArray[np.float64]:
    arr = np.ascontiguousarray(real_array(obj, what))
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
    out = tuple(str(v) for v in labels)
    if what == "objectives" and len(set(out)) != len(out):  # individuals' names may repeat
        twice = next(v for j, v in enumerate(out) if v in out[:j])
        raise ValueError(f"objectives: {twice!r} names two objectives; objective names must be unique")
    return out


def _data(mu: Any, sigma2: Any, replicates: Any, names: Sequence[str] | None,
          objectives: Sequence[str] | None) -> _Data:
    """Means and variances (arrays or DataFrames, or `Reduced` with the counts of the replicates
    behind them) or replicates (grouped or a long DataFrame)."""
    counts = None
    if isinstance(replicates, Reduced):
        mu, sigma2, counts, replicates = replicates.mu, replicates.sigma2, replicates.counts, None
    found_names: Sequence[str] | None = None
    found_objectives: Sequence[str] | None = None
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
        m, s2 = _as_2d(mu, "mu"), _as_2d(sigma2, "sigma2")
        if m.shape != s2.shape:
            raise ValueError("mu and sigma2 must have the same shape")
    return _Data(m, s2, _labels(names, found_names, m.shape[0], "names"),
                 _labels(objectives, found_objectives, m.shape[1], "objectives"), counts)


def _directions(directions: Any, data: _Data) -> tuple[str, ...]:
    m = data.mu.shape[1]
    if directions is None:
        directions = ("min",) * m
    if isinstance(directions, Set):
        raise TypeError(f"directions: a {type(directions).__name__} has no order; give a list with one "
                        "'min' or 'max' per objective, or a dict by objective name")
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
    def where(i: int, m: int) -> str:
        return f"sigma2[{i}, {m}]" + "".join(f", {label(what, labels, j)}" for what, labels, j in (
            ("individual", data.names, i), ("objective", data.objectives, m)) if labels is not None)

    check_variances(data.sigma2, where)


def _finite(value: Any, name: str) -> Any:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a real number, got {value!r}") from None
    if not math.isfinite(number):
        raise ValueError(f"{name} must be a finite number (got {value!r})")
    return value


def _kernel_options(percentile: Any, k: Any, n: int, seed: Any, mode_i: Any, within_mode_i: Any,
                    quantiles_mode_i: Any, quantiles_budget: Any, weights: tuple[Any, Any, Any, Any]
                    ) -> tuple[Any, ...]:
    """The kernel's ten options in its order, checked: k or percentile (not both), integral
    counts, known mode codes, finite weights."""
    if k is not None:
        if percentile is not None:
            raise ValueError("give either k or percentile, not both")
        percentile = percentile_for_k(k, n)
    elif percentile is None:
        percentile = _D["percentile"]
    elif not 0.0 < _finite(percentile, "percentile") <= 1.0:
        raise ValueError(f"percentile must be in (0,1] (got {percentile!r})")
    for value, name, codes in ((mode_i, "mode_i", MODES), (within_mode_i, "within_mode_i", WITHIN_MODES)):
        if integer(value, name) not in codes.values():
            allowed = ", ".join(f"{code} ({word})" for word, code in sorted(codes.items(), key=lambda c: c[1]))
            raise ValueError(f"{name} must be one of {allowed}, got {value!r}")
    names = ("quality_w_place", "quality_w_front", "quality_w_within", "quality_sign")
    return (percentile, argument(seed, "seed"), mode_i, within_mode_i, argument(quantiles_mode_i, "quantiles_mode_i"),
            argument(quantiles_budget, "quantiles_budget"), *map(_finite, weights, names))


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


def _sides(raw: tuple[Any, ...]) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """A kernel run's winners and losers, kept apart where 2k <= N."""
    winners, losers, win_count, lose_count, rank_sum = raw[:5]
    if 2 * len(winners) <= len(win_count) and np.intersect1d(winners, losers).size:
        return disjoint_winners_losers(win_count, lose_count, rank_sum, len(winners))
    return winners, losers


def _result(raw: tuple[Any, ...], samples: int, data: _Data, directions: tuple[str, ...],
            posterior: Posterior | None = None, observed: tuple[Any, ...] | None = None) -> SelectionResult:
    """The result of the kernel's tuple `raw`; with `observed` (the lists and counts of the run on
    the observed values beside a run on the posterior), the losers' side is that run's and the
    winners skip its losers."""
    winners, losers, win_count, lose_count, rank_sum, place, front, within, quality = raw
    if observed is None:
        winners, losers = _sides(raw)
    else:
        losers, lose_count = _sides(observed)[1], observed[3]
        if 2 * len(winners) <= len(win_count) and np.intersect1d(winners, losers).size:
            winners = winners_beside(win_count, rank_sum, losers, len(winners))
    for array in (winners, losers, win_count, lose_count, rank_sum, quality):
        fresh(array)  # the kernel's (or the disjoint rule's) new arrays, kept without a copy
    win_interval = fresh(wilson_interval(win_count, samples))
    lose_interval = fresh(wilson_interval(lose_count, samples))
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
        win_probability=fresh(win_count / samples),
        lose_probability=fresh(lose_count / samples),
        n_samples=samples,
        quantiles_streamed=bool(place["quantiles_mode_used"]),
        win_interval=win_interval,
        lose_interval=lose_interval,
        uncertain_winners=fresh(uncertain_members(winners, win_interval)),
        uncertain_losers=fresh(uncertain_members(losers, lose_interval)),
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
    percentile: float | None = None,
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
    progress: bool | Callable[[int, int], object] | None = None,
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
        fraction selected as winners and losers; in (0, 1]. Default 0.2 (the kernels' default),
        unless `k` is given.
    seed:
        Generator seed, an integer 0 <= seed < 2**64.
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
        The prior chooses the winners only: the losers are those of the selection on the observed
        means and variances (a second run, same seed and samples), and the winners are the
        posterior's best that are not among them. Shrunk to the middle, a truly bad but noisy
        individual would be spared and a precise, better one replaced in its place. The losers'
        fields of the result (`lose_count`, `lose_probability`, `lose_interval`,
        `uncertain_losers`) describe the observed run, every other field the posterior's.

    progress:
        A callable called with (samples done, samples of the run): (0, n) first, then about every
        25 ms while the samples are drawn, and (n, n) at the end (each run of n_samples="auto"
        counts from 0; with a prior, the posterior's and the observed run are one run of twice the
        samples), or True for a bar on standard error, one per run (needs tqdm:
        pip install 'vornaquill[progress]'). It does not change the result; an exception from it
        stops the selection and propagates.

    Counts (`n_samples`, `max_samples`, `k`, `threads`), `seed`, `quantiles_budget` and the mode
    codes are integers: int or NumPy integers; floats and bools are refused with a TypeError, and
    a value outside the argument's range (`n_samples` and `max_samples` in [1, 2**31 - 1],
    `threads` in [0, 256], `seed` in [0, 2**64 - 1], `quantiles_mode_i` a 32-bit and
    `quantiles_budget` a 64-bit signed integer) with a ValueError naming the argument and the range.

    Returns
    -------
    SelectionResult
        An empty population (N = 0) gives the empty result once the counts are checked, before
        any other check.

    Raises
    ------
    TypeError
        Without `n_samples`, or without `mu`/`sigma2` and `replicates`, or with both; for a count
        or seed that is not an integer, complex or masked arrays, an unordered `directions`, or a
        `progress` that is neither a bool nor callable.
    ImportError
        For progress=True without tqdm.
    KeyboardInterrupt
        On Ctrl-C, within about 25 ms or one sample, whichever is longer, with every thread stopped.
    ValueError
        For arrays that are not 2-D or differ in shape, zero objectives, DataFrames that do not
        line up, a NaN, infinite or negative variance (naming the first), bad `directions`, two
        objectives with the same name, n_samples <= 0, percentile outside (0, 1], k outside
        [1, N] or given with a percentile, threads outside [0, 256], an unknown `mode_i` or
        `within_mode_i`, a non-finite quality weight or sign, ties other than "index" or "random",
        prior other than None or "population".
    """
    data = _data(mu, sigma2, replicates, names, objectives)
    if n_samples is None:
        raise TypeError("select() missing required argument 'n_samples' (a count > 0 or 'auto')")
    auto = isinstance(n_samples, str)
    if auto and n_samples != "auto":
        raise ValueError(f"n_samples must be a count > 0 or 'auto', got {n_samples!r}")
    if max_samples is not None and not auto:
        raise ValueError("max_samples applies only to n_samples='auto'")
    limit = argument(AUTO_MAX_SAMPLES if max_samples is None else max_samples, "max_samples")
    samples = min(AUTO_FIRST_SAMPLES, limit) if auto else argument(n_samples, "n_samples")
    threads = argument(threads, "threads")
    if ties not in ("index", "random"):
        raise ValueError(f"ties must be 'index' or 'random', got {ties!r}")
    if prior not in (None, "population"):
        raise ValueError(f"prior must be None or 'population', got {prior!r}")
    n, m = data.mu.shape
    if n == 0:
        return _empty_result(data, 0 if auto else samples)
    if m == 0:
        raise ValueError(f"no objectives: mu has shape {data.mu.shape} (need at least one column)")
    dirs = _directions(directions, data)
    _check_variances(data)
    options = _kernel_options(percentile, k, n, seed, mode_i, within_mode_i, quantiles_mode_i, quantiles_budget,
                              (quality_w_place, quality_w_front, quality_w_within, quality_sign))
    posterior = None
    if prior is not None:  # variances from K >= 2 replicates have K - 1 dof; pooled ones count as known
        dof = None if data.counts is None else np.where(data.counts > 1, data.counts - 1.0, np.inf)
        posterior = population_posterior(data.mu, data.sigma2, dof)
    flip = np.array([d == "max" for d in dirs])

    def signed(values: NDArray[np.float64]) -> NDArray[np.float64]:
        return np.where(flip, -values, values) if flip.any() else values

    # With a prior that moved something, the winners come from a run on the posterior and the
    # losers from a run on the observed values: shrinking a truly bad but noisy individual toward
    # the middle would spare it and put a precise, better one in its place. The observed run needs
    # only the lists, counts and rank sums (no per-sample statistics stored).
    observed = (signed(data.mu), data.sigma2)
    shrunk = (signed(posterior.mu), posterior.sigma2) if posterior is not None and posterior.applied else None
    parts = 1 if shrunk is None else 2
    report = _progress.reporter(progress)

    def run(samples: Any) -> SelectionResult:
        n = int(samples)
        try:
            raw = _parallel.select_detailed(*(shrunk or observed), samples, *options, threads=threads, ties=ties,
                                            progress=_progress.part(report, 0, parts, n))
            sides = None if shrunk is None else _parallel.select(
                *observed, samples, *options[:4], threads=threads, ties=ties, progress=_progress.part(report, 1, 2, n))
        finally:
            _progress.close(report)
        return _result(raw, n, data, dirs, posterior, sides)

    if not auto:
        return run(samples)
    while True:
        result = run(samples)
        if result.settled or samples >= limit:
            return result
        samples = min(2 * samples, limit)
