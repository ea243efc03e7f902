"""Reporting a selection for the command-line tool: the table, JSON, CSV and the plot."""

from __future__ import annotations

import csv
import io
import json
import math
from pathlib import Path
from typing import Any, Sequence

import numpy as np

from .._select import _METRICS, _STAT_KEYS, SelectionResult
from .read import InputError, Population


def _names(pop: Population) -> list[str]:
    return pop.names if pop.names is not None else [str(i) for i in range(pop.mu.shape[0])]


def _marks(result: SelectionResult, n: int) -> list[str]:
    win, lose = set(result.winners.tolist()), set(result.losers.tolist())
    return ["W" * (i in win) + "L" * (i in lose) for i in range(n)]


def format_table(pop: Population, result: SelectionResult, options: dict[str, Any]) -> str:
    """Readable table, best quality score first, with a two-line summary above it."""
    n = pop.mu.shape[0]
    names, marks = _names(pop), _marks(result, n)
    k = len(result.winners)
    head = (
        f"{n} individuals, {len(pop.objectives)} objectives ({', '.join(pop.objectives)}) "
        f"from {pop.source}\n"
        f"{result.n_samples} samples, seed {options['seed']}, top/bottom "
        f"{100 * options['percentile']:g}% of the order per sample: {k} winners (W), {k} losers (L); "
        f"quantiles {'streaming (P²)' if result.quantiles_streamed else 'exact'}\n"
    )
    cols = ["#", "name", "win%", "lose%", "place mean±std", "median [q25, q75]", "front", "within",
            "quality", "sel"]
    right = [True, False, True, True, True, True, True, True, True, False]
    pl = result.place
    rows = []
    for i in np.argsort(-result.quality_score, kind="stable").tolist():
        rows.append([
            str(i), names[i],
            f"{100 * result.win_probability[i]:.1f}", f"{100 * result.lose_probability[i]:.1f}",
            f"{pl.mean[i]:.2f} ± {pl.std[i]:.2f}",
            f"{pl.median[i]:g} [{pl.q25[i]:g}, {pl.q75[i]:g}]",
            f"{result.front.mean[i]:.2f}", f"{result.within.mean[i]:.2f}",
            f"{result.quality_score[i]:.3f}", marks[i],
        ])
    widths = [max(len(c), *(len(r[j]) for r in rows)) for j, c in enumerate(cols)]

    def line(cells: list[str]) -> str:
        return "  ".join(c.rjust(w) if r else c.ljust(w) for c, w, r in zip(cells, widths, right)).rstrip()

    return head + "\n" + "\n".join(line(r) for r in [cols, *rows]) + "\n"


def _json_ready(value: Any) -> Any:
    """`value` with every non-finite float replaced by None: JSON has no NaN or infinity (a quality
    score overflows to ±inf when large weights meet large means)."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: _json_ready(v) for key, v in value.items()}
    if isinstance(value, list):
        return [_json_ready(v) for v in value]
    return value


def to_json(pop: Population, result: SelectionResult, options: dict[str, Any]) -> str:
    doc = {"names": _names(pop), "objectives": pop.objectives, "source": pop.source,
           "options": options, **result.to_dict()}
    return json.dumps(_json_ready(doc), indent=2, allow_nan=False) + "\n"


def to_csv(pop: Population, result: SelectionResult) -> str:
    """One row per individual, in input order; winner_rank / loser_rank are 1-based places in the
    winner / loser lists, empty when not selected."""
    n = pop.mu.shape[0]
    win_rank = {int(v): r + 1 for r, v in enumerate(result.winners.tolist())}
    lose_rank = {int(v): r + 1 for r, v in enumerate(result.losers.tolist())}
    metrics = [(f"{metric}_{key}", getattr(getattr(result, metric), key))
               for metric in _METRICS for key in _STAT_KEYS]
    columns = [("win_count", result.win_count), ("lose_count", result.lose_count),
               ("rank_sum", result.rank_sum), ("win_probability", result.win_probability),
               ("lose_probability", result.lose_probability), *metrics,
               ("quality_score", result.quality_score)]
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["index", "name", *(c for c, _ in columns), "winner_rank", "loser_rank"])
    names = _names(pop)
    for i in range(n):
        writer.writerow([i, names[i], *(repr(a[i].item()) for _, a in columns),
                         win_rank.get(i, ""), lose_rank.get(i, "")])
    return out.getvalue()


def write_text(path: str, text: str) -> None:
    try:
        with open(path, "w", encoding="utf-8", newline="") as fh:
            fh.write(text)
    except OSError as exc:
        raise InputError(f"cannot write {path}: {exc.strerror or exc}") from None


# ---------------------------------------------------------------------------------------------
# Plot


def check_plot_target(path: str) -> None:
    """Fail before any work when matplotlib is missing or cannot write the file's format."""
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise InputError("--plot needs matplotlib: pip install 'vornaquill[plot]'") from None
    suffix = Path(path).suffix.lower().lstrip(".")
    formats = Figure().canvas.get_supported_filetypes()
    if suffix and suffix not in formats:
        raise InputError(f"--plot: cannot write .{suffix} files (use one of: {', '.join(sorted(formats))})")


def plot_axes(pop: Population, chosen: Sequence[str] | None) -> tuple[int, int]:
    M = len(pop.objectives)
    if chosen is None:
        if M < 2:
            raise InputError("--plot needs at least two objectives")
        return 0, 1

    def pick(token: str) -> int:
        if token in pop.objectives:
            return pop.objectives.index(token)
        if token.isdigit() and int(token) < M:
            return int(token)
        raise InputError(f"--plot-objectives: no objective {token!r} (have {', '.join(pop.objectives)})")

    x, y = pick(chosen[0]), pick(chosen[1])
    return x, y


def save_plot(path: str, pop: Population, result: SelectionResult, axes: tuple[int, int]) -> None:
    """Means of two objectives with ±1 standard deviation bars, coloured by win probability."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    x, y = axes
    mx, my = pop.mu[:, x], pop.mu[:, y]
    sx, sy = np.sqrt(np.maximum(pop.sigma2[:, x], 0.0)), np.sqrt(np.maximum(pop.sigma2[:, y], 0.0))
    shown = np.isfinite(mx) & np.isfinite(my)
    fig, ax = plt.subplots(figsize=(7.5, 5.5), layout="constrained")
    ax.errorbar(mx[shown], my[shown], xerr=sx[shown], yerr=sy[shown], fmt="none", ecolor="0.65",
                elinewidth=1, capsize=2, zorder=1)
    points = ax.scatter(mx[shown], my[shown], c=result.win_probability[shown], cmap="viridis",
                        vmin=0.0, vmax=1.0, s=60, edgecolors="0.2", linewidths=0.6, zorder=2)
    fig.colorbar(points, ax=ax, label="win probability")
    win = [i for i in result.winners.tolist() if shown[i]]
    lose = [i for i in result.losers.tolist() if shown[i]]
    ax.scatter(mx[win], my[win], s=190, marker="o", facecolors="none", edgecolors="crimson",
               linewidths=1.8, zorder=3, label="winner")
    ax.scatter(mx[lose], my[lose], s=130, marker="x", color="crimson", linewidths=1.8, zorder=3,
               label="loser")
    for i, name in enumerate(_names(pop)):
        if shown[i]:
            ax.annotate(name, (mx[i], my[i]), xytext=(5, 4), textcoords="offset points", fontsize=8)
    ax.set_xlabel(f"{pop.objectives[x]} (mean ± 1 sd, lower is better)")
    ax.set_ylabel(f"{pop.objectives[y]} (mean ± 1 sd, lower is better)")
    hidden = [name for name, visible in zip(_names(pop), shown.tolist()) if not visible]
    listed = ", ".join(hidden[:3]) + (", ..." if len(hidden) > 3 else "")
    note = f"; not shown (NaN or infinite mean): {listed}" if hidden else ""
    ax.set_title(f"{result.n_samples} samples, top/bottom {len(result.winners)} marked{note}", fontsize=10)
    ax.legend(loc="best", fontsize=8)
    ax.grid(True, alpha=0.3)
    try:
        fig.savefig(path, dpi=120)
    except OSError as exc:
        raise InputError(f"cannot write {path}: {exc.strerror or exc}") from None
    finally:
        plt.close(fig)
