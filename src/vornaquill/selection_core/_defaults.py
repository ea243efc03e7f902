"""Defaults shared by `select` and the command-line tool, taken from the kernel itself.

The option defaults are read from the detailed kernel's own signature, so that `select`, the CLI and
the kernel cannot drift apart.
"""

from __future__ import annotations

import inspect
from collections.abc import Mapping
from types import MappingProxyType
from typing import Any

from ._mc_rank import mc_rank_select_detailed

__all__ = ["AUTO_FIRST_SAMPLES", "AUTO_MAX_SAMPLES", "KERNEL_DEFAULTS", "METRICS", "STAT_KEYS"]

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
