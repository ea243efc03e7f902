"""Defaults shared by `select` and the command-line tool, taken from the kernel itself.

The option defaults are read from the detailed kernel's own signature, and the mode codes and limits
from the threaded extension's constants, so that `select`, the CLI and the kernels cannot drift apart.
"""

from __future__ import annotations

import inspect
from collections.abc import Mapping
from types import MappingProxyType
from typing import Any

from . import _parallel as _native
from ._mc_rank import mc_rank_select_detailed

__all__ = ["AUTO_FIRST_SAMPLES", "AUTO_MAX_SAMPLES", "KERNEL_DEFAULTS", "METRICS", "MODES", "QUANTILE_MODES",
           "SAMPLES_LIMIT", "STAT_KEYS", "WATCH_INTERVAL", "WITHIN_MODES", "quantiles_exact"]

_INPUTS = ("mu_obj", "sigma2_obj", "n_samples")

#: The kernel's optional parameters and their defaults, in the kernel's positional order
#: (percentile, seed, mode_i, ..., quality_sign).
KERNEL_DEFAULTS: Mapping[str, Any] = MappingProxyType({
    name: param.default
    for name, param in inspect.signature(mc_rank_select_detailed).parameters.items()
    if name not in _INPUTS
})

#: The three per-sample observations and the five statistics kept of each.
METRICS = ("place", "front", "within")
STAT_KEYS = ("mean", "std", "median", "q25", "q75")

#: `n_samples="auto"`: the first run's sample count, doubled until settled or the maximum.
AUTO_FIRST_SAMPLES = 1_000
AUTO_MAX_SAMPLES = 128_000

#: Largest sample count: the kernels count samples in 32 bits.
SAMPLES_LIMIT = _native.SAMPLES_LIMIT

#: The kernels' mode codes by name (the command line's choices). `quantiles_mode_i` takes any
#: integer: codes other than exact and streaming mean automatic.
MODES: Mapping[str, int] = MappingProxyType({"ranks": _native.MODE_RANKS, "values": _native.MODE_VALUES})
WITHIN_MODES: Mapping[str, int] = MappingProxyType({"crowding": _native.WITHIN_CROWDING})
QUANTILE_MODES: Mapping[str, int] = MappingProxyType(
    {"auto": _native.QUANTILES_AUTO, "exact": _native.QUANTILES_EXACT, "streaming": _native.QUANTILES_STREAMING})

#: Fewest samples the streaming (P²) estimators start from; below it quantiles are always exact.
STREAMING_START = _native.STREAMING_START

#: Seconds between the threaded kernels' looks for Ctrl-C and progress while they sample.
WATCH_INTERVAL = _native.WATCH_INTERVAL


def quantiles_exact(quantiles_mode_i: int, n_samples: int, n: int, budget: int) -> bool:
    """True when the detailed kernel keeps every observation for exact quantiles (n_samples * n
    values per metric) rather than streaming estimates: the kernel's own rule."""
    if quantiles_mode_i == QUANTILE_MODES["exact"] or n_samples < STREAMING_START:
        return True
    if quantiles_mode_i == QUANTILE_MODES["streaming"]:
        return False
    return budget > 0 and n_samples * n <= budget
