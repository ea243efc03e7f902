"""Means and variances of the mean from repeated measurements (replicates).

`from_replicates` takes the measurements grouped per individual; `reduce_long` takes them "long",
one row per measurement with the individual's name beside it (as in a CSV or a DataFrame). Both end
in `_reduce`, which works on the rows of all individuals stacked, each individual's rows together.
"""

from __future__ import annotations

from collections.abc import Hashable, Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["from_replicates", "reduce_grouped", "reduce_long"]


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
    ValueError
        For arrays of the wrong shape, an individual without measurements, or when a single
        measurement needs the pooled variance and no individual has two or more.
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
    arr = np.asarray(values, dtype=np.float64)
    if arr.ndim != 2:
        raise ValueError(f"expected a 2-D array of measurements (rows x objectives), got shape {arr.shape}")
    if len(names) != arr.shape[0]:
        raise ValueError(f"{len(names)} names for {arr.shape[0]} rows of measurements")
    first: dict[Hashable, int] = {}
    group = np.fromiter((first.setdefault(n, len(first)) for n in names), dtype=np.intp, count=len(names))
    order = np.argsort(group, kind="stable")
    counts = np.bincount(group, minlength=len(first))
    mu, sigma2, counts = _reduce(arr[order], counts, objectives)
    return list(first), mu, sigma2, counts


def _stack(values: Any) -> tuple[NDArray[np.float64], NDArray[np.int64]]:
    """All measurements as one (sum K_i, M) array, each individual's rows together, and the K_i."""
    if not isinstance(values, (list, tuple)):
        arr = np.asarray(values, dtype=np.float64)
        if arr.ndim != 3:
            raise ValueError(
                "replicates must be an array of shape (N, K, M) or a list of N arrays of shape "
                f"(K_i, M), got an array of shape {arr.shape}"
            )
        n, k, m = arr.shape
        if n and not k:
            raise ValueError("replicates: every individual needs at least one measurement (K = 0)")
        return arr.reshape(n * k, m), np.full(n, k, dtype=np.int64)
    blocks = [np.asarray(v, dtype=np.float64) for v in values]
    for i, b in enumerate(blocks):
        if b.ndim != 2 or b.shape[1] != blocks[0].shape[1] or not b.shape[0]:
            want = f"(K_i >= 1, {blocks[0].shape[1]})" if blocks[0].ndim == 2 else "(K_i >= 1, M)"
            raise ValueError(f"replicates[{i}] must have shape {want}, got {b.shape}")
    if not blocks:
        raise ValueError("replicates: an empty list has no objectives; pass an array of shape (0, K, M)")
    return np.concatenate(blocks), np.array([b.shape[0] for b in blocks], dtype=np.int64)


def _reduce(flat: NDArray[np.float64], counts: NDArray[np.int64], objectives: Sequence[str] | None = None
            ) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.int64]]:
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
    finite = np.isfinite(mu)
    several = (counts >= 2)[:, None] & finite
    var = np.divide(ss, k - 1.0, out=np.zeros_like(ss), where=several)  # 0 where not `several`
    sigma2 = var / k
    single = (counts == 1)[:, None] & finite
    for j in np.flatnonzero(single.any(axis=0)).tolist():
        dof = (counts - 1)[several[:, j]]
        if not dof.size:
            label = repr(objectives[j]) if objectives is not None else j
            raise ValueError(
                f"replicates: objective {label} has individuals with a single measurement and no individual "
                "with two or more (without NaN) to estimate the variance from"
            )
        pooled = float(ss[several[:, j], j].sum() / dof.sum())
        sigma2[single[:, j], j] = pooled
    return mu, sigma2, counts
