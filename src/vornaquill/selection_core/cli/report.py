"""Reporting a selection for the command-line tool: the table, JSON, CSV and the plot."""

from __future__ import annotations

import csv
import io
import json
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from .._defaults import METRICS, STAT_KEYS
from .._result import SelectionResult, json_ready
from .read import InputError, Population


def _marks(result: SelectionResult, n: int) -> list[str]:
    """W / L for the selected winners and losers; with a question mark where more samples could
    change the choice: W? / L? selected but could drop out, w? / l? left out but could get in."""
    marks = [""] * n
    for chosen, doubtful, letter in ((result.winners, result.uncertain_winners, "W"),
                                     (result.losers, result.uncertain_losers, "L")):
        chosen_set, doubtful_set = set(chosen.tolist()), set(doubtful.tolist())
        for i in range(n):
            if i in chosen_set:
                marks[i] += letter + "?" * (i in doubtful_set)
            elif i in doubtful_set:
                marks[i] += letter.lower() + "?"
    return marks


def _shown(text: str) -> str:
    """`text` for one line of the table: control characters (a newline in a name) escaped."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def _prior_line(result: SelectionResult, options: dict[str, Any]) -> str:
    """With --prior: whether the winners were chosen on the posterior, and why objectives were used as observed."""
    if not options.get("prior"):
        return ""
    if result.prior is None:
        return f"prior {options['prior']} not applied: {result.prior_note}\n"
    note = f"; {result.prior_note}" if result.prior_note else ""
    return (f"prior {result.prior}: winners selected on the means shrunk toward the population, "
            f"losers on the observed means{note}\n")


def _many(count: int, word: str) -> str:
    """ "1 winner", "2 winners" """
    return f"{count} {word}{'' if count == 1 else 's'}"


def _head(pop: Population, result: SelectionResult, options: dict[str, Any]) -> str:
    """Two lines: what was read, and how it was sampled and selected; a third with --prior."""
    objectives = ", ".join(map(_shown, pop.objectives))
    source = (f"{_many(len(pop.mu), 'individual')}, {_many(len(pop.objectives), 'objective')} ({objectives}) "
              f"from {pop.source}")
    if pop.replicates is not None:
        lo, hi = int(pop.replicates.min()), int(pop.replicates.max())
        counts = f"{lo}–{hi}" if hi != lo else f"{lo}"  # noqa: RUF001 (an en dash between the bounds of a range)
        source += f"; replicates reduced to means and variances ({counts} per individual)"
    maximised = [_shown(name) for name, d in zip(pop.objectives, result.directions) if d == "max"]
    if maximised:
        source += f"; maximised: {', '.join(maximised)}"
    samples = _many(result.n_samples, "sample")
    if options["n_samples"] == "auto":
        samples += " (auto, settled)" if result.settled else " (auto: --max-samples reached before settling)"
    share = f"{options['k']}" if "k" in options else f"{100 * options['percentile']:g}%"
    k = len(result.winners)
    ties = ", ties in random order" if options.get("ties") == "random" else ""
    quantiles = "streaming (P²)" if result.quantiles_streamed else "exact"
    return (
        f"{source}\n"
        f"{samples}, seed {options['seed']}{ties}, top/bottom {share} of the order per sample: "
        f"{_many(k, 'winner')} (W), {_many(k, 'loser')} (L); quantiles {quantiles}\n"
        f"{_prior_line(result, options)}"
    )


def format_table(pop: Population, result: SelectionResult, options: dict[str, Any]) -> str:
    """Readable table, best quality score first, with a two-line summary above it and, when more
    samples could change the selection, one line below naming who."""
    n = pop.mu.shape[0]
    names, marks = [_shown(name) for name in result._individual_labels()], _marks(result, n)
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

    doubtful = sorted(set(result.uncertain_winners.tolist()) | set(result.uncertain_losers.tolist()))
    foot = ""
    if doubtful:
        foot = (f"\nuncertain (?): {', '.join(names[i] for i in doubtful)}; measure these again "
                f"or raise --samples\n")
    return _head(pop, result, options) + "\n" + "\n".join(line(r) for r in [cols, *rows]) + "\n" + foot


def to_json(pop: Population, result: SelectionResult, options: dict[str, Any]) -> str:
    doc = {**result.to_dict(), "names": result._individual_labels(), "objectives": pop.objectives,
           "source": pop.source, "options": options}
    # every non-finite number, not only the means: a quality score overflows to ±inf when large
    # weights meet large means
    return json.dumps(json_ready(doc), indent=2, allow_nan=False) + "\n"


def to_csv(result: SelectionResult) -> str:
    """One row per individual, in input order; winner_rank / loser_rank are 1-based places in the
    winner / loser lists, empty when not selected."""
    win_rank = {int(v): r + 1 for r, v in enumerate(result.winners.tolist())}
    lose_rank = {int(v): r + 1 for r, v in enumerate(result.losers.tolist())}
    metrics = [(f"{metric}_{key}", getattr(getattr(result, metric), key))
               for metric in METRICS for key in STAT_KEYS]
    columns = [("win_count", result.win_count), ("lose_count", result.lose_count),
               ("rank_sum", result.rank_sum), ("win_probability", result.win_probability),
               ("lose_probability", result.lose_probability), *metrics,
               ("quality_score", result.quality_score)]
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["index", "name", *(c for c, _ in columns), "winner_rank", "loser_rank"])
    values = zip(*(a.tolist() for _, a in columns))  # Python numbers, one tuple per individual
    for i, (name, row) in enumerate(zip(result._individual_labels(), values)):
        writer.writerow([i, name, *map(repr, row), win_rank.get(i, ""), lose_rank.get(i, "")])
    return out.getvalue()


def discard_stdout() -> None:
    """Point standard output at /dev/null, so that the interpreter's final flush of what could not
    be written (a reader that went away, a full disk) does not fail again."""
    if sys.stdout is not None:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def write_stdout(text: str) -> None:
    """Write and flush `text` to standard output; a closed or full output is the user's error."""
    if sys.stdout is None:
        raise InputError("cannot write to standard output: it is closed")
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except (OSError, ValueError) as exc:  # ValueError: a closed file object
        discard_stdout()
        raise InputError(f"cannot write to standard output: {getattr(exc, 'strerror', None) or exc}") from None


def check_target(path: str, option: str, stdout_ok: bool = False) -> None:
    """Fail before any work when `path` cannot name a file to write: empty, or in a folder that
    does not exist."""
    if stdout_ok and path == "-":
        return
    if not path:
        raise InputError(f"{option}: the file name is empty" + (" (use - for standard output)" if stdout_ok else ""))
    folder = Path(path).parent
    if not folder.is_dir():
        raise InputError(f"cannot write {path}: no folder {str(folder)!r}")


def write_text(path: str, text: str) -> None:
    try:
        with open(path, "w", encoding="utf-8", newline="") as fh:
            fh.write(text)
    except OSError as exc:
        raise InputError(f"cannot write {path}: {exc.strerror or exc}") from None


# ---------------------------------------------------------------------------------------------
# Plot


def _plot_format(path: str) -> str:
    """The plot's format: the file's suffix, PNG when it has none."""
    return Path(path).suffix.lower().lstrip(".") or "png"


def check_plot_target(path: str) -> None:
    """Fail before any work when matplotlib is missing, cannot write the file's format, or the
    file's folder does not exist."""
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise InputError("--plot needs matplotlib: pip install 'vornaquill[plot]'") from None
    suffix = _plot_format(path)
    formats = Figure().canvas.get_supported_filetypes()
    if suffix not in formats:
        raise InputError(f"--plot: cannot write .{suffix} files (use one of: {', '.join(sorted(formats))})")
    check_target(path, "--plot")


def plot_axes(pop: Population, chosen: Sequence[str] | None) -> tuple[int, int]:
    if chosen is None:
        if len(pop.objectives) < 2:
            raise InputError("--plot needs at least two objectives")
        return 0, 1
    x, y = (pop.objective(token, "--plot-objectives") for token in chosen)
    return x, y


def save_plot(path: str, result: SelectionResult, axes: tuple[int, int]) -> None:
    """What `SelectionResult.plot` draws, saved to `path`."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    try:
        ax = result.plot(objectives=axes)
    except ValueError as exc:
        raise InputError(f"--plot: {exc}") from None
    try:
        ax.figure.savefig(path, dpi=120, format=_plot_format(path))  # exactly `path`, no suffix added
    except OSError as exc:
        raise InputError(f"cannot write {path}: {exc.strerror or exc}") from None
    finally:
        plt.close(ax.figure)
