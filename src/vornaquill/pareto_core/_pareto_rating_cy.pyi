"""Pareto rating of one population (native module)."""

import numpy as np
from numpy.typing import ArrayLike, NDArray

# Exported C-level functions by name, each as a capsule; read by the selection kernels at load.
__pyx_capi__: dict[str, object]

def rate_population(
    X: ArrayLike, mode_i: int = 1, within_mode_i: int = 0
) -> tuple[NDArray[np.int64], NDArray[np.float64], NDArray[np.int64], int]: ...
