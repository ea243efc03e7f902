"""Command-line tool: the options, and `main`, which reads the population (`read`), runs the
selection and reports it (`report`).

User errors (unreadable or malformed input, bad option values) end the program with one line on
stderr and exit status 2; a Python traceback only ever means a fault in this package.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any, NoReturn, cast

from ... import __version__
from .. import _parallel, _progress
from .._args import RANGES, integer
from .._defaults import (
    AUTO_FIRST_SAMPLES,
    AUTO_MAX_SAMPLES,
    KERNEL_DEFAULTS,
    METRICS,
    MODES,
    QUANTILE_MODES,
    WITHIN_MODES,
    quantiles_exact,
)
from .._select import Reduced, select
from . import report
from .read import InputError, Population, check_fits, load_population

PROG = "vornaquill-select"
DEFAULT_SAMPLES = 2000

# ---------------------------------------------------------------------------------------------
# Options


def _int_in(name: str) -> Callable[[str], int]:
    """Parser of the integer option for `select`'s argument `name`: the text as an int, then its range."""
    lo, hi = RANGES[name]

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected an integer, got {text!r}") from None
        try:
            return integer(value, "", lo, hi)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None

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


def _samples(text: str) -> int | str:
    return "auto" if text == "auto" else _int_in("n_samples")(text)


def _choice(choices: Mapping[str, int], parameter: str) -> str:
    """The option value that stands for the kernel's default code of `parameter`."""
    return next(name for name, code in choices.items() if code == KERNEL_DEFAULTS[parameter])


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
            "Each individual has, for every objective, a mean and a variance; objectives are\n"
            "minimised unless named in --maximize, and a NaN mean ranks after every number.\n"
            "Every sample draws each objective from Normal(mean, variance), Pareto-ranks the\n"
            "population (front, then crowding distance inside the front) and counts who lands in\n"
            "the top and bottom PERCENTILE of the order. The result is the same for the same seed."
        ),
        epilog=(
            "input files:\n"
            "  CSV  header row, one row per individual; optional 'name' column; for each objective X\n"
            "       the columns X_mu and X_sigma2 (objective order = column order; other columns are\n"
            "       ignored; write nan for a failed run). '-' reads CSV from stdin.\n"
            "       Or a long table: a 'name' column and plain objective columns, one row per\n"
            "       measurement; each name's rows are reduced to a mean and its variance.\n"
            "  NPZ  arrays 'mu' and 'sigma2' of shape (N, M); optional 'names' (N,) and\n"
            "       'objectives' (M,).\n\n"
            "table columns:\n"
            "  win% / lose%   share of samples in the top / bottom PERCENTILE of the order\n"
            "  place          0-based place in the order: mean ± std, median [q25, q75]\n"
            "  front          mean 0-based Pareto front;  within: mean 0-based rank inside the front\n"
            "  quality        QUALITY_SIGN * (w_place*place + w_front*front + w_within*within), means\n"
            "  sel            W = selected winner, L = selected loser; W? / L? selected but more\n"
            "                 samples could change that, w? / l? left out but could get in\n\n"
            "exit status: 0 on success, 2 for unusable input or options, 130 when interrupted (Ctrl-C)."
        ),
    )
    p.add_argument("input", nargs="?", metavar="FILE",
                   help="population as .csv or .npz (default: a built-in 16-individual example)")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")

    k = p.add_argument_group("sampling and selection")
    k.add_argument("-n", "--samples", type=_samples, default=DEFAULT_SAMPLES, metavar="N",
                   help=f"number of Monte-Carlo samples, or 'auto': {AUTO_FIRST_SAMPLES} samples, doubled with the "
                        f"same seed until no winner or loser is uncertain or --max-samples is reached "
                        f"(default {DEFAULT_SAMPLES})")
    k.add_argument("--max-samples", type=_int_in("max_samples"), metavar="N",
                   help=f"largest sample count of -n auto (default {AUTO_MAX_SAMPLES})")
    share = k.add_mutually_exclusive_group()
    share.add_argument("-p", "--percentile", type=_percentile,
                       help="fraction of the order counted as top and bottom per sample, and the fraction "
                            f"selected as winners and losers; in (0, 1] (default {KERNEL_DEFAULTS['percentile']})")
    share.add_argument("--k", type=_int_in("k"), metavar="K",
                       help="select exactly K winners and K losers (instead of --percentile)")
    k.add_argument("--maximize", nargs="+", action="extend", metavar="NAME",
                   help="objectives to maximise, by name or 0-based index (all others are minimised); "
                        "may be repeated; put FILE before this option")
    k.add_argument("-s", "--seed", type=_int_in("seed"), default=KERNEL_DEFAULTS["seed"],
                   help="random seed; the same seed gives the same result (default %(default)s)")
    k.add_argument("--mode", choices=list(MODES), default=_choice(MODES, "mode_i"),
                   help="compute crowding on per-objective ranks (robust to scale) or on raw values "
                        "(default ranks)")
    k.add_argument("--within-mode", choices=list(WITHIN_MODES), default=_choice(WITHIN_MODES, "within_mode_i"),
                   help="score inside a front (default crowding distance)")
    k.add_argument("--quantiles", choices=list(QUANTILE_MODES), default=_choice(QUANTILE_MODES, "quantiles_mode_i"),
                   help="exact: store every observation; streaming: constant-memory P² estimates; "
                        "auto: exact while samples x individuals <= BUDGET (default auto)")
    k.add_argument("--budget", type=_int_in("quantiles_budget"),
                   default=KERNEL_DEFAULTS["quantiles_budget"],
                   help="largest samples x individuals kept for exact quantiles in auto mode; <= 0 "
                        "always streams from 5 samples on (default %(default)s)")
    k.add_argument("--threads", type=_int_in("threads"), default=1, metavar="N",
                   help=f"threads for the sampling, at most {_parallel.MAX_THREADS}, 0 = all available cores; "
                        "the result is the same for any number (default 1)")
    k.add_argument("--ties", choices=["index", "random"], default="index",
                   help="order of equal crowding scores inside a front: by index (low indices win ties) "
                        "or in a fresh random order per sample, fair to identical individuals (default index)")
    k.add_argument("--prior", choices=["population"],
                   help="choose the winners from the means shrunk toward the population (empirical "
                        "Bayes), so that lucky noisy means are not copied at face value, and the losers "
                        "from the observed means; the variances of a long table's replicates are "
                        "estimates and are shrunk toward each other first (default: the observed means)")

    q = p.add_argument_group("quality score")
    for metric in METRICS:
        q.add_argument(f"--quality-w-{metric}", type=_finite_float, default=KERNEL_DEFAULTS[f"quality_w_{metric}"],
                       metavar="W", help=f"weight of the mean {metric} (default %(default)s)")
    q.add_argument("--quality-sign", type=_finite_float, default=KERNEL_DEFAULTS["quality_sign"], metavar="S",
                   help="factor applied to the weighted sum; -1 makes higher scores better (default %(default)s)")

    o = p.add_argument_group("output")
    fmt = o.add_mutually_exclusive_group()
    fmt.add_argument("--json", action="store_true",
                     help="write the full result as JSON (to stdout, or to --output)")
    fmt.add_argument("--csv", action="store_true",
                     help="write one row per individual as CSV (to stdout, or to --output)")
    o.add_argument("-o", "--output", metavar="FILE",
                   help="write the output to FILE ('-' for stdout); without --json/--csv the format "
                        "follows its suffix (.json, .csv, otherwise the table)")
    o.add_argument("--plot", metavar="FILE.png",
                   help="save a scatter plot of two objectives to exactly FILE, in the format its suffix "
                        "names (.png, or another format matplotlib writes, such as .svg or .pdf; PNG "
                        "without a suffix; needs matplotlib: pip install 'vornaquill[plot]')")
    o.add_argument("--plot-objectives", nargs=2, metavar=("X", "Y"),
                   help="objectives on the plot axes, by name or 0-based index (default the first two)")
    o.add_argument("-q", "--quiet", action="store_true",
                   help="print nothing on stdout when the output goes to a file")
    o.add_argument("--progress", action=argparse.BooleanOptionalAction,
                   help="show a progress bar on stderr (needs tqdm: pip install 'vornaquill[progress]'); by "
                        "default shown when stderr is a terminal and the run should take over a second")
    return p


# ---------------------------------------------------------------------------------------------
# Main


def _output_format(args: argparse.Namespace) -> str:
    if args.json:
        return "json"
    if args.csv:
        return "csv"
    suffix = Path(args.output).suffix.lower() if args.output else ""
    return {".json": "json", ".csv": "csv"}.get(suffix, "table")


def _check_memory(pop: Population, options: Mapping[str, Any]) -> None:
    """Refuse, before the kernel allocates them, buffers larger than the machine: the rating's
    N x N byte matrix, and the stored observations when quantiles are exact."""
    n = pop.mu.shape[0]
    check_fits(n * n, f"rating {n} individuals (an N x N byte matrix)")
    samples = options.get("max_samples", options["n_samples"])  # the largest run's sample count
    if quantiles_exact(options["quantiles_mode_i"], samples, n, options["quantiles_budget"]):
        check_fits(len(METRICS) * 8 * samples * n,
                   f"exact quantiles of {samples} samples x {n} individuals (--quantiles streaming needs none)")


def _show_progress(pop: Population, args: argparse.Namespace, options: Mapping[str, Any]) -> bool:
    """--progress or --no-progress; else a bar when stderr is a terminal, tqdm is installed and the
    run (for -n auto its largest) should take over a second: about 5 us per sample plus
    (0.1 + 0.06 M) us per individual, growing with N, on as many threads as there are cores."""
    if args.progress is not None:
        if args.progress and not _progress.available():
            raise InputError(f"--progress: {_progress.MISSING}")
        return bool(args.progress)
    n, m = pop.mu.shape
    samples = options.get("max_samples", options["n_samples"])
    seconds = samples * (5e-6 + n * (0.1 + 0.06 * m) * 1e-6 * (1 + n / 5000))
    cores = len(os.sched_getaffinity(0))
    threads = min(args.threads, cores) if args.threads else cores
    return seconds / threads > 1.0 and sys.stderr.isatty() and _progress.available()


def _options(args: argparse.Namespace) -> dict[str, Any]:
    """The selection's options as given to `select` (and reported in the JSON)."""
    sampling: dict[str, Any] = {"n_samples": args.samples}
    if args.samples == "auto":
        sampling["max_samples"] = args.max_samples or AUTO_MAX_SAMPLES
    elif args.max_samples is not None:
        raise InputError("--max-samples needs -n auto")
    if args.k is not None:
        sampling["k"] = args.k
    else:
        sampling["percentile"] = KERNEL_DEFAULTS["percentile"] if args.percentile is None else args.percentile
    return {
        **sampling, "seed": args.seed,
        "mode_i": MODES[args.mode], "within_mode_i": WITHIN_MODES[args.within_mode],
        "quantiles_mode_i": QUANTILE_MODES[args.quantiles], "quantiles_budget": args.budget,
        **{f"quality_w_{metric}": getattr(args, f"quality_w_{metric}") for metric in METRICS},
        "quality_sign": args.quality_sign, "ties": args.ties,
        **({"prior": args.prior} if args.prior else {}),
    }


def run(args: argparse.Namespace) -> None:
    if args.output is not None:
        report.check_target(args.output, "-o/--output", stdout_ok=True)
    if args.plot is not None:
        report.check_plot_target(args.plot)  # '' included: refused
    elif args.plot_objectives:
        raise InputError("--plot-objectives needs --plot")
    options = _options(args)
    pop = load_population(args.input)
    axes = report.plot_axes(pop, args.plot_objectives) if args.plot else (0, 1)
    maximised = {pop.objective(token, "--maximize") for token in args.maximize or ()}
    _check_memory(pop, options)
    progress = _show_progress(pop, args, options)
    try:
        reduced = cast(Any, Reduced(pop.mu, pop.sigma2, pop.replicates))  # `select` takes it privately
        result = select(replicates=reduced, names=pop.names,
                        objectives=pop.objectives if pop.objectives_named else None,
                        directions=["max" if m in maximised else "min" for m in range(len(pop.objectives))],
                        threads=args.threads, progress=progress, **options)
    except ValueError as exc:  # what only the whole population shows, such as --k larger than it
        raise InputError(f"{pop.source}: {exc}") from None

    fmt = _output_format(args)
    text = {"json": lambda: report.to_json(pop, result, options), "csv": lambda: report.to_csv(result),
            "table": lambda: report.format_table(pop, result, options)}[fmt]()
    if args.output not in (None, "-"):
        report.write_text(args.output, text)
        if not args.quiet and fmt != "table":
            report.write_stdout(report.format_table(pop, result, options))
    else:
        report.write_stdout(text)
    if args.plot:
        report.save_plot(args.plot, result, axes)


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of `vornaquill-select` and `python -m vornaquill.selection_core`."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        run(args)
        report.write_stdout("")  # flushes: a full disk shows here
    except InputError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        report.discard_stdout()
        return 1
    except MemoryError:
        # what the size checks above did not foresee
        print(f"{PROG}: error: out of memory", file=sys.stderr)
        return 2
    except KeyboardInterrupt:  # Ctrl-C: the selection stops within about 25 ms
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    return 0
