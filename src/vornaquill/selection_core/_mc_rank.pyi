"""Monte-Carlo Pareto ranking kernels (native module)."""

from typing import NotRequired, TypedDict, type_check_only

import numpy as np
from numpy.typing import ArrayLike, NDArray

_F64 = NDArray[np.float64]
_I64 = NDArray[np.int64]
_I32 = NDArray[np.int32]

@type_check_only
class _MetricStats(TypedDict):
    """Per-individual distribution of one observation (place, front or within-front rank)."""

    mean: _F64
    # 0 = exact quantiles, 1 = streaming estimates; absent for an empty population.
    quantiles_mode_used: NotRequired[int]
    median: _F64
    std: _F64
    q25: _F64
    q75: _F64

def mc_rank_counts(
    mu_obj: ArrayLike,
    sigma2_obj: ArrayLike,
    n_samples: int,
    percentile: float = 0.2,
    seed: int = 0,
    mode_i: int = 1,
    within_mode_i: int = 0,
) -> tuple[_I32, _I32, _I64]: ...
def mc_rank_select(
    mu_obj: ArrayLike,
    sigma2_obj: ArrayLike,
    n_samples: int,
    percentile: float = 0.2,
    seed: int = 0,
    mode_i: int = 1,
    within_mode_i: int = 0,
) -> tuple[_I64, _I64, _I32, _I32, _I64]: ...
def mc_rank_select_detailed(
    mu_obj: ArrayLike,
    sigma2_obj: ArrayLike,
    n_samples: int,
    percentile: float = 0.2,
    seed: int = 0,
    mode_i: int = 1,
    within_mode_i: int = 0,
    quantiles_mode_i: int = 2,
    quantiles_budget: int = 2500000,
    quality_w_place: float = 1.0,
    quality_w_front: float = 1.0,
    quality_w_within: float = 1.0,
    quality_sign: float = -1.0,
) -> tuple[_I64, _I64, _I32, _I32, _I64, _MetricStats, _MetricStats, _MetricStats, _F64]: ...
