"""The result types of `select`: `SelectionResult` and its per-metric `MetricStats`.

Frozen dataclasses over read-only NumPy arrays, with their conversions (`to_dict`, `to_frame`,
`plot`); `json_ready` is the one rule for writing non-finite numbers to JSON.

A result never shares memory that someone else can write: each array is kept only when it and
every array it views are read-only (`fresh` marks a kernel's new outputs so, without a copy), and
copied into a new read-only array otherwise (the caller's `mu`, for one).
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, fields
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _frames
from ._args import label
from ._defaults import METRICS, STAT_KEYS

__all__ = ["MetricStats", "SelectionResult", "fresh", "json_ready", "stats_from_kernel"]


def fresh(array: NDArray[Any]) -> NDArray[Any]:
    """`array`, which nobody else holds (a kernel's or a computation's new output), made read-only
    in place together with the arrays it views, so that a result keeps it without a copy."""
    view: Any = array
    while isinstance(view, np.ndarray):
        view.flags.writeable = False
        view = view.base
    return array


def _read_only(value: Any) -> Any:
    """Arrays that nothing can change stay as they are; any other array is copied and the copy made
    read-only. Values that are not arrays pass through."""
    if not isinstance(value, np.ndarray):
        return value
    view: Any = value
    while isinstance(view, np.ndarray) and not view.flags.writeable:
        view = view.base
    return value if view is None else fresh(np.array(value, copy=True))


class _ReadOnlyFields:
    """Base of the result types: every array field read-only from construction on, unpickling
    included (which goes through the constructor, not around it)."""

    def __post_init__(self) -> None:
        for field in fields(self):  # type: ignore[arg-type]
            object.__setattr__(self, field.name, _read_only(getattr(self, field.name)))

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        return type(self), tuple(getattr(self, field.name) for field in fields(self))  # type: ignore[arg-type]


@dataclass(frozen=True, eq=False)
class MetricStats(_ReadOnlyFields):
    """Distribution of one per-sample observation over the Monte-Carlo samples, per individual.

    The observation is a 0-based count: the place in the sample's global order, the index of the
    Pareto front, or the rank inside the front. Every array has shape (N,).

    Attributes
    ----------
    mean, std:
        Exact mean and population standard deviation (divisor: number of samples).
    median, q25, q75:
        Median and quartiles; exact or streaming estimates, see
        `SelectionResult.quantiles_streamed`. Streaming (P²) estimates of neighbouring quantiles
        are separate estimators: at small sample counts they can come out of order (a median
        above q75).

    The arrays are read-only. Two instances compare equal only when they are the same object.
    """

    mean: NDArray[np.float64]
    std: NDArray[np.float64]
    median: NDArray[np.float64]
    q25: NDArray[np.float64]
    q75: NDArray[np.float64]

    def to_dict(self) -> dict[str, list[float]]:
        """The five arrays as plain lists, keyed by attribute name."""
        return {key: getattr(self, key).tolist() for key in STAT_KEYS}


@dataclass(frozen=True, eq=False)
class SelectionResult(_ReadOnlyFields):
    """Result of `select`: winners, losers and per-individual statistics of N individuals.

    Attributes
    ----------
    winners, losers:
        int64 indices, k = ceil(percentile * N) of each (at least 1 when N >= 1), or exactly `k`.
        Winners are ordered by most wins, then smallest rank sum, then index; losers by most
        losses, then largest rank sum, then index. The lists are disjoint whenever 2k <= N: an
        individual among the first k of both orders goes to the side it lands on more often (the
        winners on a tie), and each list is filled from its own order
        (`disjoint_winners_losers`). With 2k > N (always with a percentile above 0.5) they
        overlap: each is the first k of its order.
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
        Number of Monte-Carlo samples drawn (for `n_samples="auto"`, those of the final run).
    quantiles_streamed:
        True when the medians and quartiles are streaming (P²) estimates, False when they are exact
        sample quantiles (always False for an empty population).
    win_interval, lose_interval:
        float64 (N, 2): 95 % Wilson score intervals (low, high) of the win and lose probabilities,
        i.e. how far the probabilities could move with unlimited samples.
    uncertain_winners, uncertain_losers:
        int64 indices (ascending) of the individuals whose membership among the winners (losers)
        could change with more samples. The rule compares the Wilson intervals around the k-th and
        the (k+1)-th largest win counts, i.e. the weakest winner and the strongest individual left
        out: a winner is uncertain when the low end of its interval reaches the high end of the
        strongest left-out one's, an individual left out when the high end of its interval reaches
        the low end of the weakest winner's. The same rule on the lose counts gives the uncertain
        losers. Both are empty when k = N. Individuals that tie at the boundary stay uncertain at
        any sample count.
    settled:
        True when both are empty (a property).
    mu, sigma2:
        float64 (N, M): the means (in the user's sign: maximised objectives are not negated here) and
        variances the selection used; for replicates, the reduced ones.
    directions:
        "min" or "max" per objective (empty for an empty population: nothing was ranked).
    names, objectives:
        Names of the individuals and of the objectives (tuples of str), None when not known.
    replicate_counts:
        int64 (N,): measurements per individual when the input was replicates, else None.
    prior:
        "population" when the winners were chosen on the posterior means and variances of
        `select(..., prior="population")`, else None (no prior asked for, or none could be applied).
        Then the losers and the losers' counts, probabilities, intervals and uncertain members
        come from the selection on the observed means and variances, everything else from the
        posterior's; the winners are the posterior's best that are not losers (2k <= N).
    posterior_mu, posterior_sigma2:
        float64 (N, M): the posterior means (in the user's sign) and variances the winners came from,
        None without a prior. `mu` and `sigma2` stay the observed ones.
    prior_note:
        Why objectives (or the whole population) were used as observed despite the prior, else "".

    Every array is read-only and owned by the result (arrays passed in that something else could
    still change are copied), so changing the caller's input later does not change it. Equality
    is identity: two results compare equal only when they are the same object (compare the
    arrays, e.g. with `numpy.array_equal`, to compare contents).
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
    win_interval: NDArray[np.float64]
    lose_interval: NDArray[np.float64]
    uncertain_winners: NDArray[np.int64]
    uncertain_losers: NDArray[np.int64]
    mu: NDArray[np.float64]
    sigma2: NDArray[np.float64]
    directions: tuple[str, ...]
    names: tuple[str, ...] | None
    objectives: tuple[str, ...] | None
    replicate_counts: NDArray[np.int64] | None
    prior: str | None = None
    posterior_mu: NDArray[np.float64] | None = None
    posterior_sigma2: NDArray[np.float64] | None = None
    prior_note: str = ""

    @property
    def settled(self) -> bool:
        """True when no individual is an uncertain winner or loser."""
        return not (self.uncertain_winners.size or self.uncertain_losers.size)

    def to_dict(self) -> dict[str, Any]:
        """A JSON-ready dict: arrays as lists, statistics as nested dicts ("place_stats", ...).

        Every non-finite number (a NaN mean, an infinite quality score) is written as None, so
        that `json.dumps(..., allow_nan=False)` accepts it. "posterior_mu" and "posterior_sigma2"
        are None without a prior. "names" and "objectives" are present only when the result knows
        them.
        """
        out: dict[str, Any] = {
            "n_samples": self.n_samples,
            "quantiles_mode_used": "streaming" if self.quantiles_streamed else "exact",
        }
        for key in ("winners", "losers", "win_count", "lose_count", "rank_sum"):
            out[key] = getattr(self, key).tolist()
        for metric in METRICS:
            out[f"{metric}_stats"] = getattr(self, metric).to_dict()
        for key in ("quality_score", "win_probability", "lose_probability", "win_interval",
                    "lose_interval", "uncertain_winners", "uncertain_losers"):
            out[key] = getattr(self, key).tolist()
        out["settled"] = self.settled
        out["directions"] = list(self.directions)
        for key in ("names", "objectives"):  # only when known, so a caller's own labels are kept
            if getattr(self, key) is not None:
                out[key] = list(getattr(self, key))
        for key in ("mu", "sigma2"):
            out[key] = getattr(self, key).tolist()
        counts = self.replicate_counts
        out["replicate_counts"] = None if counts is None else counts.tolist()
        out["prior"], out["prior_note"] = self.prior, self.prior_note
        for key in ("posterior_mu", "posterior_sigma2"):
            value = getattr(self, key)
            out[key] = None if value is None else value.tolist()
        doc: dict[str, Any] = json_ready(out)
        return doc

    def to_frame(self) -> Any:
        """A pandas DataFrame, one row per individual (indexed by name when names are known).

        Columns: winner, loser (bool); win_probability, win_low, win_high, win_uncertain; the same
        for lose; win_count, lose_count, rank_sum; place_mean ... within_q75; quality_score;
        n_replicates (for replicates); then X_mu and X_sigma2 for each objective X, followed by
        X_posterior_mu and X_posterior_sigma2 with a prior. Needs pandas.
        """
        pd = _frames.require_pandas("SelectionResult.to_frame")
        index = None if self.names is None else pd.Index(list(self.names), name="name")
        return pd.DataFrame(self._columns(), index=index)

    def plot(self, ax: Any = None, objectives: Sequence[int | str] = (0, 1)) -> Any:
        """Draw two objectives' means with ±1 standard deviation bars, coloured by win probability,
        winners ringed and losers crossed, on the Matplotlib Axes `ax` (a new figure when None), and
        return the Axes. `objectives` are (x, y), by 0-based index or name. Needs matplotlib."""
        from ._plot import plot_result

        return plot_result(self, ax, objectives)

    def _individual_labels(self) -> list[str]:
        return list(self.names) if self.names is not None else [str(i) for i in range(len(self.mu))]

    def _objective_labels(self) -> list[str]:
        if self.objectives is not None:
            return list(self.objectives)
        return [label("objective", None, m) for m in range(self.mu.shape[1])]

    def _columns(self) -> dict[str, NDArray[Any]]:
        """Per-individual columns of `to_frame`, in order."""
        every = np.arange(len(self.mu))
        cols: dict[str, NDArray[Any]] = {
            "winner": np.isin(every, self.winners), "loser": np.isin(every, self.losers)}
        for side, prob, interval, doubtful in (
            ("win", self.win_probability, self.win_interval, self.uncertain_winners),
            ("lose", self.lose_probability, self.lose_interval, self.uncertain_losers),
        ):
            cols[f"{side}_probability"] = prob
            cols[f"{side}_low"], cols[f"{side}_high"] = interval[:, 0], interval[:, 1]
            cols[f"{side}_uncertain"] = np.isin(every, doubtful)
        for key in ("win_count", "lose_count", "rank_sum"):
            cols[key] = getattr(self, key)
        for metric in METRICS:
            for key in STAT_KEYS:
                cols[f"{metric}_{key}"] = getattr(getattr(self, metric), key)
        cols["quality_score"] = self.quality_score
        if self.replicate_counts is not None:
            cols["n_replicates"] = self.replicate_counts
        for m, name in enumerate(self._objective_labels()):
            cols[f"{name}_mu"], cols[f"{name}_sigma2"] = self.mu[:, m], self.sigma2[:, m]
            if self.posterior_mu is not None and self.posterior_sigma2 is not None:
                cols[f"{name}_posterior_mu"] = self.posterior_mu[:, m]
                cols[f"{name}_posterior_sigma2"] = self.posterior_sigma2[:, m]
        return cols


def json_ready(value: Any) -> Any:
    """`value` (nested dicts and lists) with every non-finite float replaced by None: JSON has no NaN
    or infinity."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: json_ready(v) for key, v in value.items()}
    if isinstance(value, list):
        return [json_ready(v) for v in value]
    return value


def stats_from_kernel(raw: Mapping[str, Any]) -> MetricStats:
    """The `MetricStats` of one of the kernel's statistics dicts (its new arrays, kept uncopied)."""
    return MetricStats(**{key: fresh(raw[key]) for key in STAT_KEYS})
