"""Noise-aware multi-objective population-based training on Ray Tune (`pip install 'vornaquill[ray]'`).

`ParetoPBT` is a `ray.tune.schedulers.PopulationBasedTraining` that replaces and clones trials by a
Monte-Carlo Pareto selection over several noisy metrics. Ray is imported when one of the names below
is first used; the estimate and decision modules (`estimates`, `decision`) do without it.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .scheduler import ParetoPBT, SelectionRecord, hook_drift

__all__ = ["ParetoPBT", "SelectionRecord", "hook_drift"]


def __getattr__(name: str) -> Any:
    if name in __all__:
        from . import scheduler

        return getattr(scheduler, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
