"""Two or more builds of the rating module side by side with moocore's `pareto_rank`, in one process
(not a test; for before/after comparisons of the rating, see docs/performance.md).

  python bench/compare_builds.py before=PATH.so,after=PATH.so [--M 2,3] [--N 256,1024]
                                 [--inputs uniform,correlated,fresh] [--rounds 201]

Each build is a copy of a `_pareto_rating_cy` extension file, loaded as its own module. Every round
times one batch of each contender (the order rotating), as CPU time of the calling thread; printed:
median time per call and the median of the paired per-round ratios moocore / build, then for each
further build its time over the first build's (median of the paired rounds, with a 95 % confidence
interval of that median from the order statistics). *uniform* and *correlated* are the
populations of table a (one per point, rated over and over); *fresh* cycles through 97 populations
drawn as the kernel draws them (means from a standard normal, noise 0.3).
"""

import argparse
import importlib.util
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import moocore
import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from run import fmt_ci, median_ci, population


def load(path, into):
    copy = Path(into) / Path(path).name
    copy.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy(path, copy)
    spec = importlib.util.spec_from_file_location("_pareto_rating_cy", copy)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def inputs(kind, N, M):
    if kind != "fresh":
        return [population(kind, N, M, seed=N * 10 + M)]
    rng = np.random.default_rng(N + M)
    mu = rng.normal(size=(N, M))
    return [mu + 0.3 * rng.normal(size=(N, M)) for _ in range(97)]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("builds", help="name=path,name=path,...")
    ap.add_argument("--M", default="2,3")
    ap.add_argument("--N", default="256,1024")
    ap.add_argument("--inputs", default="uniform,correlated,fresh")
    ap.add_argument("--rounds", type=int, default=201)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        builds = {name: load(path, Path(tmp) / name) for name, path in (b.split("=") for b in args.builds.split(","))}
        for kind in args.inputs.split(","):
            for M in map(int, args.M.split(",")):
                for N in map(int, args.N.split(",")):
                    Xs, at = inputs(kind, N, M), [0]

                    def next_X():
                        at[0] = (at[0] + 1) % len(Xs)
                        return Xs[at[0]]

                    fns = {name: (lambda m=m: m.rate_population(next_X())) for name, m in builds.items()}
                    fns["moocore"] = lambda: moocore.pareto_rank(next_X())
                    batch, names, runs = max(1, 3000 // N), list(fns), {name: [] for name in fns}
                    for r in range(args.rounds):
                        for name in names[r % len(names):] + names[:r % len(names)]:
                            t0 = time.thread_time()
                            for _ in range(batch):
                                fns[name]()
                            runs[name].append((time.thread_time() - t0) / batch)
                    cells = [f"{name} {statistics.median(runs[name]) * 1e6:7.2f} us "
                             f"({statistics.median(a / b for a, b in zip(runs['moocore'], runs[name])):.2f}x)"
                             for name in builds]
                    # The first build against each other one, paired by round: time ratio and its CI.
                    base = names[0]
                    for name in list(builds)[1:]:
                        ratios = [a / b for a, b in zip(runs[name], runs[base])]
                        cells.append(f"{name}/{base} {statistics.median(ratios):.3f} "
                                     f"[{fmt_ci(median_ci(ratios))}]")
                    print(f"{kind:10s} M={M} N={N:5d}  " + "  ".join(cells)
                          + f"  moocore {statistics.median(runs['moocore']) * 1e6:7.2f} us", flush=True)


if __name__ == "__main__":
    main()
