"""How sure a selection is: Wilson intervals of the win and lose probabilities, and the
individuals whose place among the selected could still change with more samples."""

from __future__ import annotations

from statistics import NormalDist

import numpy as np
from numpy.typing import NDArray

__all__ = ["WILSON_Z", "uncertain_members", "wilson_interval"]

#: Two-sided 95 % normal quantile.
WILSON_Z = NormalDist().inv_cdf(0.975)


def wilson_interval(count: NDArray[np.integer], n: int) -> NDArray[np.float64]:
    """(N, 2) Wilson score intervals (low, high) of the proportions count / n."""
    p = count / n
    z2n = WILSON_Z * WILSON_Z / n
    centre = (p + z2n / 2) / (1 + z2n)
    half = WILSON_Z * np.sqrt(p * (1 - p) / n + z2n / (4 * n)) / (1 + z2n)
    # Exact ends where the formula gives them exactly (count 0 or n), not a rounding away from them.
    low = np.where(count == 0, 0.0, centre - half)
    high = np.where(count == n, 1.0, centre + half)
    bounds: NDArray[np.float64] = np.clip(np.stack([low, high], axis=1), 0.0, 1.0)
    return bounds


def uncertain_members(chosen: NDArray[np.int64], interval: NDArray[np.float64]) -> NDArray[np.int64]:
    """Indices (ascending) whose membership among `chosen` could change with more samples.

    Compares the intervals of the k-th and (k+1)-th largest counts: the weakest chosen individual
    and the strongest one left out. A chosen individual is uncertain when the low end of its
    interval is at or below the high end of the strongest left-out one's interval; an individual
    left out when the high end of its interval is at or above the low end of the weakest chosen
    one's. Nobody is uncertain when all N are chosen.
    """
    inside = np.zeros(len(interval), dtype=bool)
    inside[chosen] = True
    if inside.all():
        return np.empty(0, dtype=np.int64)
    # Interval ends grow with the count, so these are the ends of the k-th and (k+1)-th counts.
    low_in = interval[inside, 0].min()
    high_out = interval[~inside, 1].max()
    doubtful = np.where(inside, interval[:, 0] <= high_out, interval[:, 1] >= low_in)
    return np.flatnonzero(doubtful).astype(np.int64)
