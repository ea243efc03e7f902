"""Command-line tool: rank a population from a CSV or NPZ file (or the built-in example).

User errors (unreadable or malformed input, bad option values) end the program with one line on
stderr and exit status 2; a Python traceback only ever means a fault in this package.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import os
import sys
import zipfile
from dataclasses import dataclass
from importlib import resources
from pathlib import Path
from typing import Any, Callable, NoReturn, Sequence, TextIO

import numpy as np
from numpy.typing import NDArray

from .. import __version__
from ._select import SelectionResult, select

PROG = "vornaquill-select"
DEFAULT_SAMPLES = 2000
EXAMPLE = "example_population.csv"

MODES = {"ranks": 1, "values": 0}
WITHIN_MODES = {"crowding": 0}
QUANTILE_MODES = {"auto": 2, "exact": 0, "streaming": 1}

_INT32_MAX = 2**31 - 1
_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1


class InputError(Exception):
    """A problem with the user's input or options, reported as one line and exit status 2."""


@dataclass(frozen=True)
class Population:
    """N individuals with M objectives: means, variances, names and objective names."""

    mu: NDArray[np.float64]
    sigma2: NDArray[np.float64]
    names: list[str] | None
    objectives: list[str]
    source: str


# ---------------------------------------------------------------------------------------------
# Input


def _check_variances(sigma2: NDArray[np.float64], where: Callable[[int, int], str]) -> None:
    """Variances must be numbers >= 0 (0 means no noise); `where(i, m)` names a bad cell."""
    bad = np.argwhere(~(sigma2 >= 0.0))
    if bad.size:
        i, m = (int(v) for v in bad[0])
        raise InputError(f"{where(i, m)}: variance must be a number >= 0 (got {float(sigma2[i, m])!r})")


def _parse_float(text: str, where: str) -> float:
    cell = text.strip()
    if not cell:
        raise InputError(f"{where}: empty cell (write nan for a failed or diverged run)")
    try:
        return float(cell)
    except ValueError:
        raise InputError(f"{where}: {cell!r} is not a number") from None


def _objective_columns(header: list[str], label: str) -> tuple[list[str], list[int], list[int]]:
    """Objective names in column order and the column indices of their `_mu` / `_sigma2` cells."""
    seen: set[str] = set()
    for col in header:
        if col and col in seen:
            raise InputError(f"{label}: column {col!r} appears more than once")
        seen.add(col)
    objectives: list[str] = []
    for col in header:
        for suffix in ("_mu", "_sigma2"):
            base = col[: -len(suffix)]
            if col.endswith(suffix) and base and base not in objectives:
                objectives.append(base)
    if not objectives:
        found = ", ".join(repr(c) for c in header if c) or "none"
        raise InputError(
            f"{label}: no objective columns; expected column pairs X_mu and X_sigma2 (found {found})"
        )
    for obj in objectives:
        for have, want in ((f"{obj}_mu", f"{obj}_sigma2"), (f"{obj}_sigma2", f"{obj}_mu")):
            if have in seen and want not in seen:
                raise InputError(f"{label}: column {have!r} has no matching column {want!r}")
    mu_cols = [header.index(f"{obj}_mu") for obj in objectives]
    s2_cols = [header.index(f"{obj}_sigma2") for obj in objectives]
    return objectives, mu_cols, s2_cols


def read_csv(stream: TextIO, label: str) -> Population:
    """Parse a population table: header row, one row per individual, optional `name` column, and
    for each objective X the columns X_mu and X_sigma2 (objective order = column order). Other
    columns are ignored; blank lines are skipped."""
    try:
        rows = [(line, row) for line, row in _numbered_rows(stream) if any(c.strip() for c in row)]
    except UnicodeDecodeError:
        raise InputError(f"{label}: not a UTF-8 text file") from None
    except csv.Error as exc:
        raise InputError(f"{label}: malformed CSV ({exc})") from None
    if not rows:
        raise InputError(f"{label}: file is empty (expected a header row and one row per individual)")
    header = [c.strip() for c in rows[0][1]]
    header[0] = header[0].removeprefix("\ufeff").strip()  # byte-order mark of spreadsheet exports
    objectives, mu_cols, s2_cols = _objective_columns(header, label)
    name_col = header.index("name") if "name" in header else None
    body = rows[1:]
    if not body:
        raise InputError(f"{label}: no individuals (the file has a header but no rows)")
    N, M = len(body), len(objectives)
    mu, sigma2 = np.empty((N, M)), np.empty((N, M))
    names: list[str] = []
    for i, (line, row) in enumerate(body):
        if len(row) != len(header):
            raise InputError(f"{label}, line {line}: expected {len(header)} cells, found {len(row)}")
        for m in range(M):
            for arr, col in ((mu, mu_cols[m]), (sigma2, s2_cols[m])):
                arr[i, m] = _parse_float(row[col], f"{label}, line {line}, column {header[col]!r}")
        if name_col is not None:
            names.append(row[name_col].strip())
    _check_variances(
        sigma2, lambda i, m: f"{label}, line {body[i][0]}, column {header[s2_cols[m]]!r}"
    )
    return Population(mu, sigma2, names if name_col is not None else None, objectives, label)


def _numbered_rows(stream: TextIO) -> list[tuple[int, list[str]]]:
    reader = csv.reader(stream)
    return [(reader.line_num, row) for row in reader]


def _npz_array(archive: Any, key: str, label: str) -> NDArray[np.float64]:
    if key not in archive.files:
        found = ", ".join(repr(f) for f in archive.files) or "none"
        raise InputError(f"{label}: missing array {key!r} (found {found})")
    arr = archive[key]
    if arr.dtype.kind not in "biuf":
        raise InputError(f"{label}: array {key!r} must be numeric (got dtype {arr.dtype})")
    if arr.ndim != 2:
        raise InputError(
            f"{label}: array {key!r} must be 2-D (individuals x objectives), got shape {arr.shape}"
        )
    return np.ascontiguousarray(arr, dtype=np.float64)


def _npz_labels(archive: Any, key: str, length: int, what: str, label: str) -> list[str] | None:
    if key not in archive.files:
        return None
    arr = archive[key]
    if arr.ndim != 1 or arr.shape[0] != length:
        raise InputError(f"{label}: array {key!r} must hold one entry per {what} ({length}), got shape {arr.shape}")
    return [str(v) for v in arr.tolist()]


def read_npz(path: Path, label: str) -> Population:
    """Load arrays `mu` and `sigma2` (N x M), optional `names` (N) and `objectives` (M). Pickled
    (object) arrays are refused rather than unpickled."""
    with path.open("rb") as fh:
        if not zipfile.is_zipfile(fh):
            raise InputError(f"{label}: not an .npz archive (write one with numpy.savez)")
    try:
        with np.load(path, allow_pickle=False) as archive:
            mu = _npz_array(archive, "mu", label)
            sigma2 = _npz_array(archive, "sigma2", label)
            if mu.shape != sigma2.shape:
                raise InputError(f"{label}: 'mu' has shape {mu.shape} but 'sigma2' has shape {sigma2.shape}")
            names = _npz_labels(archive, "names", mu.shape[0], "individual", label)
            objectives = _npz_labels(archive, "objectives", mu.shape[1], "objective", label)
    except (zipfile.BadZipFile, ValueError, EOFError, KeyError) as exc:
        raise InputError(f"{label}: not a readable .npz archive ({exc})") from None
    if mu.shape[1] == 0:
        raise InputError(f"{label}: no objectives ('mu' has shape {mu.shape})")
    if mu.shape[0] == 0:
        raise InputError(f"{label}: no individuals ('mu' has shape {mu.shape})")
    _check_variances(sigma2, lambda i, m: f"{label}: sigma2[{i}, {m}]")
    if objectives is None:
        objectives = [f"objective {m}" for m in range(mu.shape[1])]
    return Population(mu, sigma2, names, objectives, label)


def load_population(source: str | None) -> Population:
    """The population in `source` (a .npz file, a CSV file, or "-" for CSV on stdin); the built-in
    example when `source` is None."""
    if source is None:
        text = resources.files("vornaquill.selection_core").joinpath("data", EXAMPLE).read_text(encoding="utf-8")
        return read_csv(io.StringIO(text), f"built-in example ({EXAMPLE})")
    if source == "-":
        return read_csv(sys.stdin, "<stdin>")
    path = Path(source)
    try:
        if path.suffix.lower() == ".npz":
            return read_npz(path, source)
        with path.open(encoding="utf-8", newline="") as stream:
            return read_csv(stream, source)
    except OSError as exc:
        raise InputError(f"cannot read {source}: {exc.strerror or exc}") from None


# ---------------------------------------------------------------------------------------------
# Options


def _int_in(lo: int, hi: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}") from None
        if value < lo:
            raise argparse.ArgumentTypeError(f"must be {'> 0' if lo == 1 else f'>= {lo}'} (got {value})")
        if value > hi:
            raise argparse.ArgumentTypeError(f"must be <= {hi} (got {value})")
        return value

    return parse


def _finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number (got {text})")
    return value


def _percentile(text: str) -> float:
    value = _finite_float(text)
    if not 0.0 < value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be in (0, 1] (got {text})")
    return value


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        """One line on stderr and exit status 2 (the usage is in --help)."""
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog=PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Monte-Carlo Pareto selection of a population whose objectives are noisy.\n\n"
            "Each individual has, for every objective, a mean and a variance; all objectives are\n"
            "minimised (negate the ones you maximise) and a NaN mean ranks after every number.\n"
            "Every sample draws each objective from Normal(mean, variance), Pareto-ranks the\n"
            "population (front, then crowding distance inside the front) and counts who lands in\n"
            "the top and bottom PERCENTILE of the order. The result is the same for the same seed."
        ),
        epilog=(
            "input files:\n"
            "  CSV  header row, one row per individual; optional 'name' column; for each objective X\n"
            "       the columns X_mu and X_sigma2 (objective order = column order; other columns are\n"
            "       ignored; write nan for a failed run). '-' reads CSV from stdin.\n"
            "  NPZ  arrays 'mu' and 'sigma2' of shape (N, M); optional 'names' (N,) and\n"
            "       'objectives' (M,).\n\n"
            "table columns:\n"
            "  win% / lose%   share of samples in the top / bottom PERCENTILE of the order\n"
            "  place          0-based place in the order: mean ± std, median [q25, q75]\n"
            "  front          mean 0-based Pareto front;  within: mean 0-based rank inside the front\n"
            "  quality        QUALITY_SIGN * (w_place*place + w_front*front + w_within*within), means\n"
            "  sel            W = selected winner, L = selected loser\n\n"
            "exit status: 0 on success, 2 for unusable input or options."
        ),
    )
    p.add_argument("input", nargs="?", metavar="FILE",
                   help="population as .csv or .npz (default: a built-in 16-individual example)")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")

    k = p.add_argument_group("sampling and selection")
    k.add_argument("-n", "--samples", type=_int_in(1, _INT32_MAX),
                   default=DEFAULT_SAMPLES, metavar="N",
                   help=f"number of Monte-Carlo samples (default {DEFAULT_SAMPLES})")
    k.add_argument("-p", "--percentile", type=_percentile, default=0.2,
                   help="fraction of the order counted as top and bottom per sample, and the fraction "
                        "selected as winners and losers; in (0, 1] (default 0.2)")
    k.add_argument("-s", "--seed", type=_int_in(0, 2**64 - 1), default=0,
                   help="random seed; the same seed gives the same result (default 0)")
    k.add_argument("--mode", choices=list(MODES), default="ranks",
                   help="compute crowding on per-objective ranks (robust to scale) or on raw values "
                        "(default ranks)")
    k.add_argument("--within-mode", choices=list(WITHIN_MODES), default="crowding",
                   help="score inside a front (default crowding distance)")
    k.add_argument("--quantiles", choices=list(QUANTILE_MODES), default="auto",
                   help="exact: store every observation; streaming: constant-memory P² estimates; "
                        "auto: exact while samples x individuals <= BUDGET (default auto)")
    k.add_argument("--budget", type=_int_in(_INT64_MIN, _INT64_MAX),
                   default=2_500_000,
                   help="largest samples x individuals kept for exact quantiles in auto mode; <= 0 "
                        "always streams from 5 samples on (default 2500000)")

    q = p.add_argument_group("quality score")
    for metric in ("place", "front", "within"):
        q.add_argument(f"--quality-w-{metric}", type=_finite_float, default=1.0, metavar="W",
                       help=f"weight of the mean {metric} (default 1.0)")
    q.add_argument("--quality-sign", type=_finite_float, default=-1.0, metavar="S",
                   help="factor applied to the weighted sum; -1 makes higher scores better (default -1.0)")

    o = p.add_argument_group("output")
    fmt = o.add_mutually_exclusive_group()
    fmt.add_argument("--json", action="store_true",
                     help="write the full result as JSON (to stdout, or to --output)")
    fmt.add_argument("--csv", action="store_true",
                     help="write one row per individual as CSV (to stdout, or to --output)")
    o.add_argument("-o", "--output", metavar="FILE",
                   help="write the output to FILE; without --json/--csv the format follows its "
                        "suffix (.json, .csv, otherwise the table)")
    o.add_argument("--plot", metavar="FILE.png",
                   help="save a scatter plot of two objectives (.png, or another format matplotlib "
                        "writes, such as .svg or .pdf; needs matplotlib: pip install 'vornaquill[plot]')")
    o.add_argument("--plot-objectives", nargs=2, metavar=("X", "Y"),
                   help="objectives on the plot axes, by name or 0-based index (default the first two)")
    o.add_argument("-q", "--quiet", action="store_true",
                   help="print nothing on stdout when the output goes to a file")
    return p


# ---------------------------------------------------------------------------------------------
# Output


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


def to_json(pop: Population, result: SelectionResult, options: dict[str, Any]) -> str:
    doc = {"names": _names(pop), "objectives": pop.objectives, "source": pop.source,
           "options": options, **result.to_dict()}
    return json.dumps(doc, indent=2, allow_nan=False) + "\n"


def to_csv(pop: Population, result: SelectionResult) -> str:
    """One row per individual, in input order; winner_rank / loser_rank are 1-based places in the
    winner / loser lists, empty when not selected."""
    n = pop.mu.shape[0]
    win_rank = {int(v): r + 1 for r, v in enumerate(result.winners.tolist())}
    lose_rank = {int(v): r + 1 for r, v in enumerate(result.losers.tolist())}
    metrics = [(f"{metric}_{key}", getattr(getattr(result, metric), key))
               for metric in ("place", "front", "within") for key in ("mean", "std", "median", "q25", "q75")]
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


def _plot_axes(pop: Population, chosen: Sequence[str] | None) -> tuple[int, int]:
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
    fig.savefig(path, dpi=120)
    plt.close(fig)


# ---------------------------------------------------------------------------------------------
# Main


def _output_format(args: argparse.Namespace) -> str:
    if args.json:
        return "json"
    if args.csv:
        return "csv"
    suffix = Path(args.output).suffix.lower() if args.output else ""
    return {".json": "json", ".csv": "csv"}.get(suffix, "table")


def _write(path: str, text: str) -> None:
    try:
        with open(path, "w", encoding="utf-8", newline="") as fh:
            fh.write(text)
    except OSError as exc:
        raise InputError(f"cannot write {path}: {exc.strerror or exc}") from None


def _check_plot_target(path: str) -> None:
    """Fail before any work when matplotlib is missing or cannot write the file's format."""
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise InputError("--plot needs matplotlib: pip install 'vornaquill[plot]'") from None
    suffix = Path(path).suffix.lower().lstrip(".")
    formats = Figure().canvas.get_supported_filetypes()
    if suffix and suffix not in formats:
        raise InputError(f"--plot: cannot write .{suffix} files (use one of: {', '.join(sorted(formats))})")


def run(args: argparse.Namespace) -> None:
    axes = None
    if args.plot:
        _check_plot_target(args.plot)
    elif args.plot_objectives:
        raise InputError("--plot-objectives needs --plot")
    pop = load_population(args.input)
    if args.plot:
        axes = _plot_axes(pop, args.plot_objectives)
    options = {
        "n_samples": args.samples, "percentile": args.percentile, "seed": args.seed,
        "mode_i": MODES[args.mode], "within_mode_i": WITHIN_MODES[args.within_mode],
        "quantiles_mode_i": QUANTILE_MODES[args.quantiles], "quantiles_budget": args.budget,
        "quality_w_place": args.quality_w_place, "quality_w_front": args.quality_w_front,
        "quality_w_within": args.quality_w_within, "quality_sign": args.quality_sign,
    }
    kernel_options = {key: value for key, value in options.items() if key != "n_samples"}
    result = select(pop.mu, pop.sigma2, args.samples, **kernel_options)

    fmt = _output_format(args)
    text = {"json": lambda: to_json(pop, result, options), "csv": lambda: to_csv(pop, result),
            "table": lambda: format_table(pop, result, options)}[fmt]()
    if args.output:
        _write(args.output, text)
        if not args.quiet and fmt != "table":
            sys.stdout.write(format_table(pop, result, options))
    else:
        sys.stdout.write(text)
    if args.plot:
        try:
            save_plot(args.plot, pop, result, axes if axes is not None else (0, 1))
        except OSError as exc:
            raise InputError(f"cannot write {args.plot}: {exc.strerror or exc}") from None


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of `vornaquill-select` and `python -m vornaquill.selection_core`."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        run(args)
        sys.stdout.flush()
    except InputError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader (for example `head`) went away: point stdout at /dev/null so that the
        # interpreter's final flush does not report the broken pipe again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
    return 0
