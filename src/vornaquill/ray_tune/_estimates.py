"""Per-trial means and variances of the means, taken at perturbation points.

A trial's estimate is a `Snapshot`: per metric the mean, the per-observation variance (NaN when the
trial has too few values to estimate it), the number of observations behind the mean (an effective
number for a fitted value: the variance of the estimate is var_obs / count) and the degrees of
freedom of the variance. `objectives` turns the snapshots of a population into the (N, M) means
and variances the selection minimises: variances missing for a trial are pooled from the others,
maximised metrics are negated and non-finite trials are made the worst in every objective.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from vornaquill.selection_core import pooled_variance as pooled_across

NOISE_MODELS = ("reported", "window", "trend", "none")
NONFINITE_MODES = ("worst", "as_is", "skip")  # "skip": NaN trials are left out before `objectives`


@dataclass(frozen=True)
class Snapshot:
    mean: NDArray[np.float64]  # (M,) in the metrics' own directions
    var_obs: NDArray[np.float64]  # (M,) per-observation variance, NaN when unknown
    count: float  # observations behind the mean (effective for a fitted value)
    dof: int  # degrees of freedom of var_obs (0 when unknown)


def reported_variance(result: Mapping[str, object], name: str) -> float:
    """`<name>_var`, else `<name>_std` squared, else NaN (unknown)."""
    if f"{name}_var" in result:
        return float(result[f"{name}_var"])  # type: ignore[arg-type]
    if f"{name}_std" in result:
        return float(result[f"{name}_std"]) ** 2  # type: ignore[arg-type]
    return math.nan


def snapshot(
    noise: str, history: Sequence[NDArray[np.float64]], last_result: Mapping[str, object], names: Sequence[str]
) -> Snapshot:
    """The estimate of one trial: `history` holds its metric vectors since its last exploit (the last
    one is `last_result`'s)."""
    last = np.asarray(history[-1], dtype=np.float64)
    m = len(names)
    if noise == "none":
        return Snapshot(last, np.zeros(m), 1, 0)
    if noise == "reported":
        var = np.array([reported_variance(last_result, name) for name in names])
        return Snapshot(last, var, 1, 0 if np.isnan(var).all() else 1)
    values = np.asarray(history, dtype=np.float64)
    count = len(values)
    if noise == "trend":
        return trend(values)
    if count < 2:
        return Snapshot(values.mean(axis=0), np.full(m, math.nan), count, 0)
    with np.errstate(invalid="ignore", over="ignore"):
        return Snapshot(values.mean(axis=0), values.var(axis=0, ddof=1), count, count - 1)


def trend(values: NDArray[np.float64]) -> Snapshot:
    """Straight line per metric over (result index, value) of the (n, M) `values`, oldest first: the
    fitted value at the latest result, the residual variance (n - 2 dof) and the effective count
    1 / leverage of the latest index, so var_obs / count is the variance of the fitted value. Fewer
    than 3 values: the latest value with an unknown variance (pooled from the other trials)."""
    n, m = values.shape
    if n < 3:
        return Snapshot(values[-1], np.full(m, math.nan), 1, 0)
    x = np.arange(n) - (n - 1) / 2.0  # centred, so intercept and slope are uncorrelated
    sxx = float(x @ x)
    with np.errstate(invalid="ignore", over="ignore"):
        mean = values.mean(axis=0)
        slope = x @ (values - mean) / sxx
        residuals = values - mean - np.outer(x, slope)
        var_obs = (residuals**2).sum(axis=0) / (n - 2)
        fitted = mean + slope * x[-1]
    return Snapshot(fitted, var_obs, 1.0 / (1.0 / n + x[-1] ** 2 / sxx), n - 2)


def pooled_variance(snaps: Sequence[Snapshot]) -> NDArray[np.float64]:
    """Per metric, the degrees-of-freedom weighted mean of the finite per-observation variances
    (zero when no trial has one): `selection_core.pooled_variance` over the snapshots."""
    pooled = pooled_across([snap.var_obs for snap in snaps], [snap.dof for snap in snaps])
    return np.where(np.isnan(pooled), 0.0, pooled)


def objectives(
    snaps: Sequence[Snapshot], signs: NDArray[np.float64], nonfinite: str
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """(mu, sigma2) to minimise, plus the means and variances of the means in the metrics' own
    directions (what the selection record shows). `signs` is +1 for "min", -1 for "max"."""
    pooled = pooled_variance(snaps)
    means = np.array([snap.mean for snap in snaps])
    var_obs = np.array([np.where(np.isfinite(s.var_obs) & (s.dof > 0), s.var_obs, pooled) for s in snaps])
    counts = np.array([snap.count for snap in snaps], dtype=np.float64)[:, None]
    variances = var_obs / counts
    mu = means * signs
    sigma2 = np.where(np.isfinite(variances), variances, 0.0)
    if nonfinite == "worst":
        # NaN ranks after every number in its objective; a whole NaN row is last in all of them,
        # so a diverged trial is replaced and never cloned (-inf would otherwise rank first).
        bad = ~np.isfinite(mu).all(axis=1)
        mu[bad] = math.nan
        sigma2[bad] = 0.0
    return mu, sigma2, means, variances
