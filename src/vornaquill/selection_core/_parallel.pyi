"""Monte-Carlo Pareto ranking kernels with the sampling on several threads (native module)."""

from collections.abc import Callable
from typing import Literal

from numpy.typing import ArrayLike

from ._mc_rank import _F64, _I32, _I64, _MetricStats

MAX_THREADS: int
# The kernels' codes and limits, read by _defaults.py.
MODE_VALUES: int
MODE_RANKS: int
WITHIN_CROWDING: int
QUANTILES_EXACT: int
QUANTILES_STREAMING: int
QUANTILES_AUTO: int
STREAMING_START: int
SAMPLES_LIMIT: int
WATCH_INTERVAL: float

def counts(
    mu: ArrayLike,
    sigma2: ArrayLike,
    n_samples: int,
    percentile: float = 0.2,
    seed: int = 0,
    mode_i: int = 1,
    within_mode_i: int = 0,
    *,
    threads: int = 1,
    ties: Literal["index", "random"] = "index",
    progress: Callable[[int, int], object] | None = None,
) -> tuple[_I32, _I32, _I64]: ...
def select(
    mu: ArrayLike,
    sigma2: ArrayLike,
    n_samples: int,
    percentile: float = 0.2,
    seed: int = 0,
    mode_i: int = 1,
    within_mode_i: int = 0,
    *,
    threads: int = 1,
    ties: Literal["index", "random"] = "index",
    progress: Callable[[int, int], object] | None = None,
) -> tuple[_I64, _I64, _I32, _I32, _I64]: ...
def select_detailed(
    mu: ArrayLike,
    sigma2: ArrayLike,
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
    *,
    threads: int = 1,
    ties: Literal["index", "random"] = "index",
    progress: Callable[[int, int], object] | None = None,
) -> tuple[_I64, _I64, _I32, _I32, _I64, _MetricStats, _MetricStats, _MetricStats, _F64]: ...
