"""Noise-aware multi-objective population-based training on Ray Tune (`pip install 'vornaquill[ray]'`).

`ParetoPBT` is a `ray.tune.schedulers.PopulationBasedTraining` that replaces and clones trials by a
Monte-Carlo Pareto selection over several noisy metrics; `load_history` and `plot_history` read and
draw the selections it writes to the experiment folder. Importing this package imports Ray (2.7 to
2.60; `hook_drift()` lists what the installed Ray changed of the private names the scheduler uses).
"""

from ._ray_private import hook_drift
from .history import SelectionRecord, load_history, plot_history
from .scheduler import ParetoPBT

__all__ = ["ParetoPBT", "SelectionRecord", "hook_drift", "load_history", "plot_history"]
