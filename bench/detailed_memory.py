"""Benchmark of the detailed selection (not a test).

1. Memory: in streaming mode (quantiles_mode_i=1) the peak resident size of a process running one
   detailed call must not grow with n_samples. Each call runs in a fresh interpreter; the script
   reports the peak RSS of each run, its increase over an interpreter that only prepared the
   inputs, and the ratio of the peaks.
2. Time: the per-sample cost of the detailed pass against mc_rank_counts on the same input,
   measured side by side in one process, for both quantile modes.

Run:  python bench/detailed_memory.py            (N = 1000, n_samples 10,000 vs 100,000; slow)
      python bench/detailed_memory.py --quick    (N = 1000, n_samples 1,000 vs 10,000)
"""

import argparse
import subprocess
import sys
import textwrap
import time

import numpy as np

CHILD = textwrap.dedent(
    """
    import resource, sys
    import numpy as np
    import vornaquill.selection_core as m
    N, M, n_samples, mode, seed = (int(a) for a in sys.argv[1:6])
    rng = np.random.default_rng(seed)
    mu, s2 = rng.normal(size=(N, M)), rng.uniform(0.1, 1.0, size=(N, M))
    if n_samples > 0:
        r = m.mc_rank_select_detailed(mu, s2, n_samples, quantiles_mode_i=mode, seed=seed)
        assert mode != 1 or r[5]["quantiles_mode_used"] == 1
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)  # KiB on Linux
    """
)


def peak_rss_kib(N, M, n_samples, mode, seed=0):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, str(N), str(M), str(n_samples), str(mode), str(seed)],
        check=True, capture_output=True, text=True,
    )
    return int(out.stdout.split()[-1])


def memory(N, M, sample_counts, mode):
    base = peak_rss_kib(N, M, 0, mode)
    print(f"peak RSS, N={N}, M={M}, quantiles_mode_i={mode} (baseline interpreter with inputs: {base / 1024:.1f} MiB)")
    peaks = []
    for n in sample_counts:
        t0 = time.perf_counter()
        peak = peak_rss_kib(N, M, n, mode)
        peaks.append(peak)
        print(f"  n_samples={n:>7}: peak {peak / 1024:8.1f} MiB, above baseline {(peak - base) / 1024:7.1f} MiB"
              f"  ({time.perf_counter() - t0:.0f} s)")
    print(f"  peak ratio (largest / smallest n_samples): {peaks[-1] / peaks[0]:.4f}")


def best_of(f, repeat):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        f()
        best = min(best, time.perf_counter() - t0)
    return best


def cost(N, M, n_samples, repeat=3):
    """Whole-call time per sample at 2n samples, and the marginal time per sample between n and 2n
    (which leaves out the fixed costs: set-up, and the results stage in streaming mode)."""
    import vornaquill.selection_core as m

    rng = np.random.default_rng(1)
    mu, s2 = rng.normal(size=(N, M)), rng.uniform(0.1, 1.0, size=(N, M))
    calls = {"counts": lambda n: m.mc_rank_counts(mu, s2, n)}
    for mode, label in ((0, "exact"), (1, "streaming")):
        calls[label] = lambda n, mode=mode: m.mc_rank_select_detailed(mu, s2, n, quantiles_mode_i=mode)
    per_call, marginal = {}, {}
    for name, f in calls.items():
        t1, t2 = best_of(lambda: f(n_samples), repeat), best_of(lambda: f(2 * n_samples), repeat)
        per_call[name], marginal[name] = t2 / (2 * n_samples), (t2 - t1) / n_samples
    print(f"  N={N:>5}, M={M}, n_samples={n_samples}/{2 * n_samples}: "
          f"counts {per_call['counts'] * 1e6:.1f} us/sample (marginal {marginal['counts'] * 1e6:.1f})")
    for name in ("exact", "streaming"):
        print(f"    detailed {name:>9}: {per_call[name] * 1e6:8.1f} us/sample, "
              f"x{per_call[name] / per_call['counts']:.3f}"
              f"; marginal {marginal[name] * 1e6:8.1f} us/sample, x{marginal[name] / marginal['counts']:.3f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="ten times fewer samples in the memory runs")
    ap.add_argument("--N", type=int, default=1000)
    ap.add_argument("--M", type=int, default=2)
    args = ap.parse_args()
    counts = (1_000, 10_000) if args.quick else (10_000, 100_000)
    memory(args.N, args.M, counts, mode=1)
    print("per-sample cost of the detailed pass against mc_rank_counts (best of 3):")
    for N, n in ((20, 20_000), (200, 2_000), (args.N, 500)):
        cost(N, args.M, n)
    print("rerun: python bench/detailed_memory.py" + (" --quick" if args.quick else ""))


if __name__ == "__main__":
    main()
