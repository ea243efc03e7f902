"""ParetoPBT's selections as they happened: one `SelectionRecord` per selection, kept as JSON lines.

The scheduler appends every record to `selections.jsonl` in the experiment folder as it is made
(Python's json, NaN and infinities written as `NaN`/`Infinity`); `load_history` reads the file back
(a last line cut short by a crash is skipped, any other line that is not a record is an error),
`plot_history` draws it. Nothing here imports Ray; pandas and matplotlib only when asked for.
"""

from __future__ import annotations

import importlib
import json
import math
import os
from collections.abc import Iterable, Sequence
from dataclasses import MISSING, dataclass, fields
from typing import Any

import numpy as np
from numpy.typing import NDArray

HISTORY_FILE = "selections.jsonl"

__all__ = ["HISTORY_FILE", "SelectionRecord", "load_history", "plot_history"]


@dataclass(frozen=True)
class SelectionRecord:
    """One selection: the trials in the caller's order, their estimates and the decision.

    `means` and `variances` (variances of the means) are (N, M) in the metrics' own directions, in
    the order of `metrics` (`ParetoPBT.metrics`); `winners`/`losers` are trial ids, best/worst first;
    `progress` is each trial's `time_attr` when its estimate was taken (all equal in synchronous mode)."""

    number: int
    time: float  # time.time() when the selection was made
    seconds: float  # time spent selecting
    trial_ids: tuple[str, ...]
    means: NDArray[np.float64]
    variances: NDArray[np.float64]
    winners: tuple[str, ...]
    losers: tuple[str, ...]
    win_probability: NDArray[np.float64]
    lose_probability: NDArray[np.float64]
    n_samples: int
    seed: int
    metrics: tuple[str, ...] = ()
    progress: tuple[float, ...] = ()

    def to_json(self) -> str:
        """One line of the history file."""
        return json.dumps({f.name: _plain(getattr(self, f.name)) for f in fields(self)})

    @classmethod
    def from_json(cls, line: str) -> SelectionRecord:
        """The record of one history line; ValueError naming what is wrong for anything else (not
        JSON, fields missing or unknown, sizes that disagree)."""
        raw = json.loads(line)
        if not isinstance(raw, dict):
            raise ValueError("not a JSON object")
        unknown, missing = sorted(set(raw) - _FIELDS), sorted(_REQUIRED - set(raw))
        if unknown or missing:
            raise ValueError(f"fields {missing} missing, {unknown} unknown")
        values = {}
        for f in fields(cls):
            value = raw.get(f.name, f.default)
            if f.name in ("means", "variances", "win_probability", "lose_probability"):
                value = np.asarray(value, dtype=np.float64)
            elif isinstance(value, list):
                value = tuple(value)
            values[f.name] = value
        record = cls(**values)
        n, shape = len(record.trial_ids), record.means.shape
        sizes_agree = (
            len(shape) == 2 and shape[0] == n and record.variances.shape == shape
            and len(record.metrics) in (0, shape[1]) and len(record.progress) in (0, n)
            and record.win_probability.shape == record.lose_probability.shape == (n,)
            and set(record.winners + record.losers) <= set(record.trial_ids)
        )
        if not sizes_agree:
            raise ValueError(f"sizes disagree with its {n} trials")
        return record


_FIELDS = {f.name for f in fields(SelectionRecord)}
_REQUIRED = {f.name for f in fields(SelectionRecord) if f.default is MISSING}
_START = '{"number": '  # how `to_json` begins every line


def _plain(value: Any) -> Any:
    return value.tolist() if isinstance(value, np.ndarray) else value


def read_history(data: bytes | str, source: str) -> tuple[list[SelectionRecord], int]:
    """(records, length in bytes of the complete part) of a history file's content.

    Only a last line cut short by a crash (no newline after it, the beginning of a record) is
    dropped: the complete part then ends before it. Any other line that is not a record (not
    UTF-8, not JSON, another schema) is a ValueError naming `source` and the line."""
    data = data.encode("utf-8") if isinstance(data, str) else data
    lines = data.split(b"\n")  # the last item is what follows the last newline
    records, end = [], 0
    for number, raw in enumerate(lines, 1):
        last = number == len(lines)
        try:
            line = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            reason = f"{error.reason} at byte {error.start}"
            raise ValueError(f"{source}, line {number}: not UTF-8 text ({reason})") from None
        if line.strip():
            try:
                records.append(SelectionRecord.from_json(line))
            except (ValueError, TypeError) as error:
                if last and (line.startswith(_START) or _START.startswith(line)):
                    return records, end  # the selection in flight when the driver died
                raise ValueError(f"{source}, line {number}: not a selection record ({error})") from None
        end += len(raw) + (not last)
    return records, end


def parse_history(data: bytes | str, source: str) -> list[SelectionRecord]:
    """Records of a history file's content (`read_history` without the length)."""
    return read_history(data, source)[0]


def _history_file(path: str | os.PathLike[str]) -> str:
    path = os.fspath(path)
    return os.path.join(path, HISTORY_FILE) if os.path.isdir(path) else path


def load_history(path: str | os.PathLike[str], *, as_frame: bool = False) -> Any:
    """The selections of a ParetoPBT experiment: `path` is the experiment folder or its
    `selections.jsonl`. A list of `SelectionRecord`, or with `as_frame=True` a pandas DataFrame with
    one row per trial and selection (columns number, time, seed, trial_id, progress, win_probability,
    lose_probability, winner, loser, and per metric `<name>_mean` and `<name>_var`)."""
    file = _history_file(path)
    with open(file, "rb") as f:
        records = parse_history(f.read(), file)
    if not as_frame:
        return records
    try:
        pd: Any = importlib.import_module("pandas")
    except ImportError:
        raise ImportError("load_history(as_frame=True) needs pandas: pip install 'vornaquill[pandas]'") from None
    rows = []
    for r in records:
        names = r.metrics or tuple(f"metric{j}" for j in range(r.means.shape[1]))
        for i, tid in enumerate(r.trial_ids):
            row = {"number": r.number, "time": r.time, "seed": r.seed, "trial_id": tid,
                   "progress": r.progress[i] if r.progress else math.nan,
                   "win_probability": r.win_probability[i], "lose_probability": r.lose_probability[i],
                   "winner": tid in r.winners, "loser": tid in r.losers}
            for j, name in enumerate(names):
                row[f"{name}_mean"], row[f"{name}_var"] = r.means[i, j], r.variances[i, j]
            rows.append(row)
    return pd.DataFrame(rows)


def _metric_axes(record: SelectionRecord, metrics: Sequence[str | int]) -> tuple[tuple[int, int], tuple[str, ...]]:
    """((x, y) column indices, metric names) of `metrics` in one record."""
    names = record.metrics or tuple(f"metric{j}" for j in range(record.means.shape[1]))
    axes = []
    for token in metrics:
        if isinstance(token, str) and token not in names:
            raise ValueError(f"no metric {token!r} in selection {record.number} (it has {', '.join(names)})")
        index = names.index(token) if isinstance(token, str) else int(token)
        if not 0 <= index < len(names):
            raise ValueError(
                f"metric index {token} out of range for the {len(names)} metrics of selection {record.number}"
            )
        axes.append(index)
    return (axes[0], axes[1]), names


def plot_history(
    history: str | os.PathLike[str] | Iterable[SelectionRecord],
    metrics: Sequence[str | int] = (0, 1),
    *,
    selections: Sequence[int] | None = None,
    columns: int = 3,
) -> Any:
    """A matplotlib Figure: for each shown selection, the population's means of two metrics (±1 sd of
    the mean) with winners ringed and losers crossed, and below, every trial's win probability per
    selection. `history` is an experiment folder, its history file, or records; `selections` the
    record numbers to draw (default: up to six, evenly spread)."""
    try:
        import matplotlib.pyplot as plt
        from matplotlib.ticker import MaxNLocator
    except ImportError:
        raise ImportError("plot_history needs matplotlib: pip install 'vornaquill[plot]'") from None
    records = load_history(history) if isinstance(history, (str, os.PathLike)) else list(history)
    if not records:
        raise ValueError("plot_history: no selections to draw")
    if len(metrics) != 2:
        raise ValueError(f"metrics must name two metrics (x, y), got {metrics!r}")
    if isinstance(columns, bool) or not isinstance(columns, int) or columns < 1:
        raise ValueError(f"columns must be an integer >= 1, got {columns!r}")
    by_number = {r.number: r for r in records}
    if selections is None:
        picks = np.unique(np.linspace(0, len(records) - 1, min(6, len(records))).round().astype(int))
        shown = [records[i] for i in picks]
    else:
        if not selections:
            raise ValueError("selections is empty: pass the numbers of the selections to draw, or None")
        missing = [n for n in selections if n not in by_number]
        if missing:
            raise ValueError(f"no selection numbered {missing[0]} in the history")
        shown = [by_number[n] for n in selections]
    # Records may name different metrics (histories of different runs): each is drawn by its own.
    axes_of = {r.number: _metric_axes(r, metrics) for r in shown}
    rows = -(-len(shown) // columns)
    fig = plt.figure(figsize=(4.2 * min(columns, len(shown)), 3.6 * rows + 3.4), layout="constrained")
    grid = fig.add_gridspec(rows + 1, min(columns, len(shown)), height_ratios=[3.6] * rows + [3.4])
    for n, r in enumerate(shown):
        ax = fig.add_subplot(grid[n // columns, n % columns])
        (x, y), names = axes_of[r.number]
        mx, my = r.means[:, x], r.means[:, y]
        ax.errorbar(mx, my, xerr=np.sqrt(r.variances[:, x]), yerr=np.sqrt(r.variances[:, y]), fmt="o",
                    color="0.45", ecolor="0.75", markersize=5, zorder=1)
        win = [r.trial_ids.index(t) for t in r.winners]
        lose = [r.trial_ids.index(t) for t in r.losers]
        ax.scatter(mx[win], my[win], marker="o", s=160, facecolors="none", edgecolors="crimson", linewidths=1.6,
                   zorder=2, label="winner")
        ax.scatter(mx[lose], my[lose], marker="x", s=110, color="crimson", linewidths=1.6, zorder=2, label="loser")
        ax.set_title(f"selection {r.number}", fontsize=10)
        ax.set_xlabel(f"{names[x]} (mean ± 1 sd)")
        ax.set_ylabel(f"{names[y]} (mean ± 1 sd)")
        if n == 0:
            ax.legend(fontsize=8)
    ax = fig.add_subplot(grid[rows, :])
    trials = sorted({t for r in records for t in r.trial_ids})
    for tid in trials:
        points = [(r.number, r.win_probability[r.trial_ids.index(tid)]) for r in records if tid in r.trial_ids]
        ax.plot(*zip(*points), marker=".", label=tid)
    ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    ax.set_xlabel("selection")
    ax.set_ylabel("win probability")
    ax.set_ylim(-0.03, 1.03)
    ax.legend(fontsize=7, ncols=min(len(trials), 8), loc="upper center", bbox_to_anchor=(0.5, -0.25))
    return fig
