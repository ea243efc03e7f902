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
    return np.clip(np.stack([low, high], axis=1), 0.0, 1.0)


def uncertain_members(
    count: NDArray[np.integer], chosen: NDArray[np.int64], interval: NDArray[np.float64], n: int
) -> NDArray[np.int64]:
    """Indices (ascending) whose membership among `chosen` could change with more samples.

    With the k chosen individuals, p_in is the k-th largest count / n (the weakest chosen one) and
    p_out the (k+1)-th (the strongest one left out). A chosen individual is uncertain when its
    interval reaches down to p_out, one left out when its interval reaches up to p_in. Nobody is
    uncertain when all N are chosen.
    """
    inside = np.zeros(len(count), dtype=bool)
    inside[chosen] = True
    if inside.all():
        return np.empty(0, dtype=np.int64)
    p_in = count[inside].min() / n
    p_out = count[~inside].max() / n
    doubtful = np.where(inside, interval[:, 0] <= p_out, interval[:, 1] >= p_in)
    return np.flatnonzero(doubtful).astype(np.int64)
