"""Noise-aware multi-objective population-based training on Ray Tune (`pip install 'vornaquill[ray]'`).

`ParetoPBT` is a `ray.tune.schedulers.PopulationBasedTraining` that replaces and clones trials by a
Monte-Carlo Pareto selection over several noisy metrics; `load_history` and `plot_history` read and
draw the selections it writes to the experiment folder. Ray (2.7 to 2.60) is imported when one of the
names below is first used (`hook_drift()` lists what the installed Ray changed of the private names
the scheduler uses). The scheduler's estimates and decisions (`_estimates`, `_decision`) are its
internals and do without Ray.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._ray_private import hook_drift
    from .history import SelectionRecord, load_history, plot_history
    from .scheduler import ParetoPBT

# Each public name and the module that defines it, imported on first use.
_HOMES = {"ParetoPBT": "scheduler", "SelectionRecord": "history", "hook_drift": "_ray_private",
          "load_history": "history", "plot_history": "history"}
__all__ = ["ParetoPBT", "SelectionRecord", "hook_drift", "load_history", "plot_history"]


def __getattr__(name: str) -> Any:
    if name in _HOMES:
        return getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
