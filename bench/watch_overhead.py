"""What watching for Ctrl-C and reporting progress costs (not a test; `python bench/watch_overhead.py`).

Plan, fixed before the runs: populations N x 3 for N in (20, 200, 2000), one seed, n_samples chosen
so that one call takes about 0.2-0.5 s; three paired comparisons, each call timed alone, the two arms
of a pair run back to back in alternating order, 12 pairs per case:

  A. select() before and after its routing change: the detailed kernel `mc_rank_select_detailed`
     (no looks at all) against `parallel.select_detailed(threads=1)` (looks every 25 ms; also its
     own sampling loop and exact quantiles);
  B. `parallel.select_detailed` on one thread, progress=None against a progress callback (the
     callback is called every 25 ms);
  C. as B on two threads.

Reported: the paired time ratio (second arm / first) as a mean with its 95 % confidence interval
(t distribution over the 12 pairs). Every pair's results are checked to be identical.

Added after the first runs, whose wall-clock ratios on the shared, loaded machine had intervals of
+-10 to 30 %: `--cpu` times each call by the process's CPU time instead (all threads' work, but not
the time the process waits for a core), with the same cases and pairs.
"""

import statistics
import sys
import time

import numpy as np

from vornaquill.selection_core import mc_rank_select_detailed, parallel

PAIRS = 12
T_975 = 2.201  # t distribution, 11 degrees of freedom
CASES = [(20, 30000), (200, 4000), (2000, 200)]  # (N, n_samples)


CLOCK = time.process_time if "--cpu" in sys.argv[1:] else time.perf_counter


def timed(fn):
    t0 = CLOCK()
    out = fn()
    return CLOCK() - t0, out


def same(a, b):
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, tuple):
        return all(same(x, y) for x, y in zip(a, b))
    return np.array_equal(a, b)


def paired(first, second):
    ratios = []
    for i in range(PAIRS):
        order = (first, second) if i % 2 == 0 else (second, first)
        (ta, ra), (tb, rb) = (timed(f) for f in order)
        if i % 2:
            ta, tb, ra, rb = tb, ta, rb, ra
        assert same(ra, rb)
        ratios.append(tb / ta)
    mean = statistics.fmean(ratios)
    half = T_975 * statistics.stdev(ratios) / PAIRS**0.5
    return mean, half, ta


def main():
    print("clock:", CLOCK.__name__)
    print(f"{'case':<44} {'N':>5} {'samples':>7} {'first arm s':>11} {'ratio (95% CI)':>22}")
    for n, samples in CASES:
        rng = np.random.default_rng(7)
        mu, s2 = rng.normal(size=(n, 3)), rng.uniform(0.1, 1.0, size=(n, 3))
        calls = []

        def kernel(mu=mu, s2=s2, samples=samples):
            return mc_rank_select_detailed(mu, s2, samples)

        def threaded(threads, progress=None, mu=mu, s2=s2, samples=samples):
            return lambda: parallel.select_detailed(mu, s2, samples, threads=threads, progress=progress)

        cases = [("A kernel -> parallel, 1 thread", kernel, threaded(1)),
                 ("B 1 thread: no callback -> callback", threaded(1), threaded(1, lambda d, t: calls.append(d))),
                 ("C 2 threads: no callback -> callback", threaded(2), threaded(2, lambda d, t: calls.append(d)))]
        for name, first, second in cases:
            mean, half, t_first = paired(first, second)
            print(f"{name:<44} {n:>5} {samples:>7} {t_first:>11.3f} {mean:>12.4f} ± {half:.4f}")


if __name__ == "__main__":
    main()
