"""`SelectionResult.plot`: two objectives' means with ±1 standard deviation bars, coloured by win
probability, winners ringed and losers crossed. Matplotlib is imported only here."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from ._result import SelectionResult

__all__ = ["plot_result"]

# Points beyond this (mean plus one standard deviation) are not drawn: the axis arithmetic (limits
# with margins, tick steps) overflows near the float64 maximum.
_DRAWABLE = float(np.finfo(np.float64).max) / 16


def _axis(result: SelectionResult, token: int | str) -> int:
    labels = result._objective_labels()
    if isinstance(token, str):
        if token in labels:
            return labels.index(token)
        raise ValueError(f"no objective {token!r} (have {', '.join(labels)})")
    if not 0 <= token < len(labels):
        raise ValueError(f"objective index {token} out of range for {len(labels)} objectives")
    return int(token)


def plot_result(result: SelectionResult, ax: Any, objectives: Sequence[int | str]) -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("SelectionResult.plot needs matplotlib: pip install 'vornaquill[plot]'") from None
    if len(objectives) != 2:
        raise ValueError(f"objectives must name two objectives (x, y), got {objectives!r}")
    x, y = (_axis(result, token) for token in objectives)
    if ax is None:
        _, ax = plt.subplots(figsize=(7.5, 5.5), layout="constrained")
    names = result._individual_labels()
    labels = result._objective_labels()
    mx, my = result.mu[:, x], result.mu[:, y]
    sx, sy = np.sqrt(result.sigma2[:, x]), np.sqrt(result.sigma2[:, y])
    with np.errstate(invalid="ignore", over="ignore"):
        shown = (np.abs(mx) + sx <= _DRAWABLE) & (np.abs(my) + sy <= _DRAWABLE)  # False for NaN
    ax.errorbar(mx[shown], my[shown], xerr=sx[shown], yerr=sy[shown], fmt="none", ecolor="0.65",
                elinewidth=1, capsize=2, zorder=1)
    points = ax.scatter(mx[shown], my[shown], c=result.win_probability[shown], cmap="viridis",
                        vmin=0.0, vmax=1.0, s=60, edgecolors="0.2", linewidths=0.6, zorder=2)
    ax.figure.colorbar(points, ax=ax, label="win probability")
    win = [i for i in result.winners.tolist() if shown[i]]
    lose = [i for i in result.losers.tolist() if shown[i]]
    ax.scatter(mx[win], my[win], s=190, marker="o", facecolors="none", edgecolors="crimson",
               linewidths=1.8, zorder=3, label="winner")
    ax.scatter(mx[lose], my[lose], s=130, marker="x", color="crimson", linewidths=1.8, zorder=3,
               label="loser")
    for i, name in enumerate(names):
        if shown[i]:
            ax.annotate(name, (mx[i], my[i]), xytext=(5, 4), textcoords="offset points", fontsize=8)
    for setter, m in ((ax.set_xlabel, x), (ax.set_ylabel, y)):
        better = "higher" if result.directions[m] == "max" else "lower"
        setter(f"{labels[m]} (mean ± 1 sd, {better} is better)")
    hidden = [name for name, visible in zip(names, shown.tolist()) if not visible]
    listed = ", ".join(hidden[:3]) + (", ..." if len(hidden) > 3 else "")
    note = f"; not shown (NaN, infinite or beyond ±{_DRAWABLE:.2g}): {listed}" if hidden else ""
    ax.set_title(f"{result.n_samples} samples, top/bottom {len(result.winners)} marked{note}", fontsize=10)
    ax.legend(loc="best", fontsize=8)
    ax.grid(True, alpha=0.3)
    return ax
