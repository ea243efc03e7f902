"""Means and variances of the mean from repeated measurements (replicates).

`from_replicates` takes the measurements grouped per individual; `reduce_long` takes them "long",
one row per measurement with the individual's name beside it (as in a CSV or a DataFrame). Both end
in `_reduce`, which works on the rows of all individuals stacked, each individual's rows together.
`pooled_variance` is the one rule for the variance of an individual without enough measurements of
its own (the Ray Tune scheduler uses it too).
"""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._args import label, real_array

__all__ = ["from_replicates", "pooled_variance", "reduce_grouped", "reduce_long"]


def from_replicates(values: ArrayLike | Sequence[ArrayLike]) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Means and variances of the means of replicated measurements, ready for `select`.

    Parameters
    ----------
    values:
        The raw measurements per individual and objective: an array of shape (N, K, M) (K
        measurements of each of M objectives for each of N individuals), or a list of N arrays of
        shape (K_i, M) when individuals have different numbers K_i >= 1 of measurements. NaN is
        allowed.

    Returns
    -------
    (mu, sigma2):
        float64 arrays of shape (N, M). `mu` is the mean of the K_i measurements and `sigma2` the
        variance of that mean: the unbiased sample variance divided by K_i.

    Notes
    -----
    - An individual with a single measurement has no variance of its own: it gets the pooled
      within-individual variance of that objective, sum((K_j - 1) * s_j**2) / sum(K_j - 1) over
      the individuals j with K_j >= 2 (and no NaN in that objective).
    - Any NaN among an individual's measurements of an objective makes its mean NaN: a diverged
      evaluation is the worst value, not dropped. Where the mean is NaN or infinite, `sigma2` is 0
      (the value is ranked as it is).

    Raises
    ------
    TypeError
        For complex or masked arrays (write NaN for a missing measurement).
    ValueError
        For arrays of the wrong shape, an individual without measurements, when a single
        measurement needs the pooled variance and no individual has two or more, or when the
        variance of finite measurements is beyond the float64 range (naming the individual and
        objective). Means of measurements near the float64 maximum are computed without overflow.
    """
    mu, sigma2, _ = reduce_grouped(values)
    return mu, sigma2


def reduce_grouped(
    values: ArrayLike | Sequence[ArrayLike],
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.int64]]:
    """`from_replicates` that also returns the number of measurements K_i of each individual."""
    return _reduce(*_stack(values))


def reduce_long(
    names: Sequence[Hashable], values: ArrayLike, objectives: Sequence[str] | None = None
) -> tuple[list[Hashable], NDArray[np.float64], NDArray[np.float64], NDArray[np.int64]]:
    """Reduce measurements in long form: row r of `values` (R, M) is one measurement of the
    individual `names[r]`; rows with equal names are its replicates. `objectives` only names the
    columns in error messages.

    Returns (individuals in order of first appearance, mu, sigma2, replicates per individual),
    reduced as `from_replicates` does.
    """
    arr = real_array(values, "replicates")
    if arr.ndim != 2:
        raise ValueError(f"expected a 2-D array of measurements (rows x objectives), got shape {arr.shape}")
    if len(names) != arr.shape[0]:
        raise ValueError(f"{len(names)} names for {arr.shape[0]} rows of measurements")
    first: dict[Hashable, int] = {}
    group = np.fromiter((first.setdefault(n, len(first)) for n in names), dtype=np.intp, count=len(names))
    order = np.argsort(group, kind="stable")
    counts = np.bincount(group, minlength=len(first))
    mu, sigma2, counts = _reduce(arr[order], counts, objectives, [str(v) for v in first])
    return list(first), mu, sigma2, counts


def _stack(values: Any) -> tuple[NDArray[np.float64], NDArray[np.int64]]:
    """All measurements as one (sum K_i, M) array, each individual's rows together, and the K_i."""
    if not isinstance(values, (list, tuple)):
        arr = real_array(values, "replicates")
        if arr.ndim != 3:
            raise ValueError(
                "replicates must be an array of shape (N, K, M) or a list of N arrays of shape "
                f"(K_i, M), got an array of shape {arr.shape}"
            )
        n, k, m = arr.shape
        if n and not k:
            raise ValueError("replicates: every individual needs at least one measurement (K = 0)")
        return arr.reshape(n * k, m), np.full(n, k, dtype=np.int64)
    blocks = [real_array(v, f"replicates[{i}]") for i, v in enumerate(values)]
    for i, b in enumerate(blocks):
        if b.ndim != 2 or b.shape[1] != blocks[0].shape[1] or not b.shape[0]:
            want = f"(K_i >= 1, {blocks[0].shape[1]})" if blocks[0].ndim == 2 else "(K_i >= 1, M)"
            raise ValueError(f"replicates[{i}] must have shape {want}, got {b.shape}")
    if not blocks:
        raise ValueError("replicates: an empty list has no objectives; pass an array of shape (0, K, M)")
    return np.concatenate(blocks), np.array([b.shape[0] for b in blocks], dtype=np.int64)


def pooled_variance(variances: ArrayLike, dof: ArrayLike) -> NDArray[np.float64]:
    """Per objective, the pooled within-individual variance sum(dof_i * s_i**2) / sum(dof_i).

    `variances` (N, M) are per-observation variances s_i**2, `dof` their degrees of freedom, (N,)
    or (N, M) (K_i - 1 for K_i measurements). Rows with dof_i <= 0 or a variance that is not
    finite are left out; an objective without any gives NaN.
    """
    var = np.asarray(variances, dtype=np.float64)
    weight = np.asarray(dof, dtype=np.float64)
    weight = np.broadcast_to(weight[:, None] if weight.ndim == 1 else weight, var.shape)
    known = np.isfinite(var) & (weight > 0)
    if not known.size:
        return np.full(var.shape[1], np.nan)
    # Summed row after row (accumulate is always sequential; sum may pair terms), so that the result
    # does not depend on the array's shape.
    with np.errstate(invalid="ignore", over="ignore"):
        total = np.add.accumulate(np.where(known, weight * var, 0.0), axis=0)[-1]
    count = np.add.accumulate(np.where(known, weight, 0.0), axis=0)[-1]
    pooled: NDArray[np.float64] = np.divide(total, count, out=np.full(var.shape[1], np.nan), where=count > 0)
    return pooled


def _rescaled(cells: NDArray[np.float64]) -> tuple[float, float]:
    """Mean and sum of squared deviations of finite measurements whose plain sums overflow:
    computed on the values divided by a power of two (exact) and shifted by the first one (so
    that equal values have no spread at all), scaled back. The sum of squares may still be
    infinite: near the float64 maximum any two distinct values are ~1e292 apart, and their
    variance is beyond float64."""
    scale = 2.0 ** (int(np.frexp(np.abs(cells).max())[1]) - 1)
    y = cells / scale
    shift = y - y[0]
    spread = shift.mean()
    with np.errstate(over="ignore"):
        return float((y[0] + spread) * scale), float(((shift - spread) ** 2).sum() * scale * scale)


def _reduce(flat: NDArray[np.float64], counts: NDArray[np.int64], objectives: Sequence[str] | None = None,
            names: Sequence[str] | None = None) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.int64]]:
    """Means, variances of the means and counts of stacked rows; `counts[i]` >= 1 rows per individual."""
    n, m = len(counts), flat.shape[1]
    if n == 0:
        return np.empty((0, m)), np.empty((0, m)), counts
    starts = np.concatenate(([0], np.cumsum(counts)[:-1]))
    k = counts[:, None].astype(np.float64)
    with np.errstate(invalid="ignore", over="ignore"):  # +inf and -inf in one cell give NaN: wanted
        mu = np.add.reduceat(flat, starts, axis=0) / k
        dev = flat - np.repeat(mu, counts, axis=0)
        ss = np.add.reduceat(dev * dev, starts, axis=0)
    # Finite measurements whose sums overflowed: again, rescaled (rare, so cell by cell).
    measured = np.logical_and.reduceat(np.isfinite(flat), starts, axis=0)
    for i, j in np.argwhere(measured & ~(np.isfinite(mu) & np.isfinite(ss))).tolist():
        mu[i, j], ss[i, j] = _rescaled(flat[starts[i]: starts[i] + counts[i], j])
        if not np.isfinite(ss[i, j]):
            raise ValueError(
                f"replicates: {label('individual', names, i)}, {label('objective', objectives, j)}: the "
                "variance of the measurements is beyond the float64 range (values up to "
                f"{np.abs(flat[starts[i]: starts[i] + counts[i], j]).max():.3g}); rescale that objective")
    finite = np.isfinite(mu)
    several = (counts >= 2)[:, None] & finite
    with np.errstate(over="ignore"):
        var = np.divide(ss, k - 1.0, out=np.zeros_like(ss), where=several)  # 0 where not `several`
        sigma2 = var / k
    single = (counts == 1)[:, None] & finite
    pooled = pooled_variance(np.where(several, var, np.nan), counts - 1)
    for j in np.flatnonzero(single.any(axis=0)).tolist():
        if np.isnan(pooled[j]):
            raise ValueError(
                f"replicates: {label('objective', objectives, j)} has individuals with a single measurement and "
                "no individual with two or more (without NaN) to estimate the variance from"
            )
        if not np.isfinite(pooled[j]):
            raise ValueError(f"replicates: the pooled variance of {label('objective', objectives, j)} is "
                             "beyond the float64 range; rescale that objective")
        sigma2[single[:, j], j] = pooled[j]
    return mu, sigma2, counts
