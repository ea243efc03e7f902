"""Benchmarks of the rating component and the counting kernel (not tests; `make bench`).

  a. rating one population from Python: ours against every installed peer, identical inputs,
     N x M grid, uniform and correlated (few fronts) populations; peer time / our time;
  b. the whole kernel: mc_rank_counts per sample against the loop a user would write in Python
     (NumPy normals, the fastest peer's fronts, crowding, np.lexsort, counting);
  c. the native microbenchmark (generator, rating, kernel overhead), when its binary is given;
  d. threads: two concurrent mc_rank_counts calls against the same two calls in series;
  e. one call on two threads (vornaquill.selection_core.parallel) against one thread, counting
     and detailed, the serial fraction per sample and the Amdahl prediction from it, and the cost
     of ties="random" against ties="index".

Timings are medians of repeated runs made in one process, the contenders interleaved within each
repeat; tables a and b time the CPU time of the calling thread and give each ratio as the median
of the ratios of the rounds (paired). Prints tables and writes bench/results/<name>.json. A table
that fails is reported and the others still run; the exit status is then non-zero. --smoke runs
every table at tiny sizes with one repeat and writes nothing (`make bench-smoke`): a check that the
benchmarks work, not a measurement.

  python bench/run.py [--quick | --smoke] [--native PATH] [--only a,b,c,d,e]
"""

import argparse
import functools
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
import traceback
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from peers import load_peers, ours
from vornaquill.selection_core import mc_rank_counts

RESULTS = Path(__file__).resolve().parent / "results"


# ------------------------------------------------------------------------------------------ timing
def pick(args, full, quick, smoke):
    """The setting for the run's size: the full grid, --quick, or --smoke (tiny, one repeat)."""
    return smoke if args.smoke else quick if args.quick else full


def calibrate(fn, target):
    """Calls per batch so that one batch takes about `target` seconds (at least one call)."""
    t0 = time.perf_counter()
    fn()
    one = time.perf_counter() - t0
    if one >= target:
        return 1, one
    n = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        dt = time.perf_counter() - t0
        if dt >= target / 4:
            return max(1, int(n * target / dt)), dt / n
        n *= 4


def interleaved(fns, repeats, target, budget):
    """(name -> median seconds per call, name -> seconds per call of each round). Each round times
    one batch of every contender in turn, starting with a different contender each round. A
    contender whose single call takes more than budget / repeats seconds runs fewer rounds (never
    fewer than three). Times are the CPU time of the calling thread, which other jobs on a shared
    machine do not inflate by taking the core away (work a contender hands to other threads would
    not be counted; none of the single-threaded contenders here does that)."""
    batches, quota, runs = {}, {}, {name: [] for name in fns}
    for name, fn in fns.items():
        batches[name], one = calibrate(fn, target)
        quota[name] = max(3, min(repeats, int(budget / max(one, 1e-12))))
    names = list(fns)
    for r in range(repeats):
        for name in names[r % len(names):] + names[:r % len(names)]:
            if len(runs[name]) >= quota[name]:
                continue
            n, fn = batches[name], fns[name]
            t0 = time.thread_time()
            for _ in range(n):
                fn()
            runs[name].append((time.thread_time() - t0) / n)
    return {name: statistics.median(v) for name, v in runs.items()}, runs


def median_ci(values, level=0.95):
    """A distribution-free confidence interval for the median of the values: the order statistics
    x_(k) and x_(n+1-k), k the largest with P(Binomial(n, 1/2) < k) <= (1 - level) / 2. None when
    there are too few values for that level (fewer than 6 at 95 %)."""
    xs, n = sorted(values), len(values)
    tail, k = 0.0, 0
    while k < n // 2 and tail + math.comb(n, k) / 2**n <= (1 - level) / 2:
        tail += math.comb(n, k) / 2**n
        k += 1
    return [xs[k - 1], xs[n - k]] if k else None


def paired_ratio(runs, num, den, scale=1.0):
    """Median, quartiles and 95 % confidence interval of the median over the rounds of
    runs[num] / runs[den] (times scale): the ratio of batches measured moments apart, the rounds
    both ran."""
    ratios = sorted(scale * a / b for a, b in zip(runs[num], runs[den]) if b > 0)
    q = statistics.quantiles(ratios, n=4) if len(ratios) > 1 else ratios * 3
    return {"median": statistics.median(ratios), "quartiles": [q[0], q[2]], "ci95": median_ci(ratios)}


def fmt_ci(ci):
    return "-" if ci is None else f"{ci[0]:.2f}-{ci[1]:.2f}"


def fmt_time(s):
    if s is None or (isinstance(s, float) and math.isnan(s)):
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}"
    return f"{s / 1e-9:.3g} ns"


def table(title, header, rows):
    widths = [max(len(str(c)) for c in col) for col in zip(header, *rows)]
    line = "  ".join(str(h).rjust(w) for h, w in zip(header, widths))
    print(f"\n{title}\n{line}\n{'-' * len(line)}")
    for row in rows:
        print("  ".join(str(c).rjust(w) for c, w in zip(row, widths)))


# ------------------------------------------------------------------------------------- populations
def population(kind, N, M, seed):
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.random((N, M))
    # correlated (few fronts): points near the simplex x_1 + ... + x_M = 1, so the objectives
    # trade off against each other and most points are mutually non-dominated
    return np.ascontiguousarray(rng.dirichlet(np.ones(M), size=N) + 0.02 * rng.random((N, M)))


# ----------------------------------------------------------------------------------- a. rating grid
def bench_rating(args, peers):
    Ns = pick(args, [16, 64, 256, 1024, 4096], [16, 64, 256, 1024], [16, 64])
    points = []
    for kind in ("uniform", "correlated"):
        for M in (2, 3, 5):
            for N in Ns:
                X = population(kind, N, M, seed=N * 10 + M)
                fns = {"ours": ours(X)}
                fns.update({name: make(X) for name, make in peers.items()})
                t, runs = interleaved(fns, repeats=pick(args, 15, 5, 1), target=0.004, budget=0.6)
                n_fronts = rate_fronts(X)
                ratios = {p: paired_ratio(runs, p, "ours") for p in t if p != "ours"}
                point = {"input": kind, "N": N, "M": M, "fronts": n_fronts, "seconds": t,
                         "peer_over_ours": {p: r["median"] for p, r in ratios.items()},
                         "peer_over_ours_quartiles": {p: r["quartiles"] for p, r in ratios.items()},
                         "peer_over_ours_ci95": {p: r["ci95"] for p, r in ratios.items()}}
                points.append(point)
                print(f"  a. {kind:10s} M={M} N={N:5d}: ours {fmt_time(t['ours'])}", flush=True)
    names = list(peers)
    first = names[0] if names else None
    rows = [[p["input"], p["M"], p["N"], p["fronts"], fmt_time(p["seconds"]["ours"])]
            + [f"{p['peer_over_ours'][n]:.1f}x" for n in names]
            + ([fmt_ci(p["peer_over_ours_ci95"][first])] if first else []) for p in points]
    table("a. Rating one population from Python: our time, and peer time / our time (median of paired rounds; "
          f"95 % CI of the median for {first})",
          ["input", "M", "N", "fronts", "ours"] + names + ([f"{first} 95% CI"] if first else []), rows)
    return points


def rate_fronts(X):
    from vornaquill.pareto_core import rate_population

    return rate_population(X)[3]


# ------------------------------------------------------------------------------- b. kernel vs loop
def crowding_numpy(X, fronts):
    """Crowding distance of every front at once, as a NumPy user would write it."""
    N, M = X.shape
    d = np.zeros(N)
    for m in range(M):
        o = np.lexsort((X[:, m], fronts))
        v, f = X[o, m], fronts[o]
        edge = np.r_[True, f[1:] != f[:-1]]
        last = np.r_[f[1:] != f[:-1], True]
        starts, ends = np.flatnonzero(edge), np.flatnonzero(last)
        span = np.repeat(v[ends] - v[starts], ends - starts + 1)
        gap = np.zeros(N)
        gap[1:-1] = v[2:] - v[:-2]
        with np.errstate(invalid="ignore", divide="ignore"):
            part = np.where(edge | last, np.inf, np.where(span > 0, gap / span, 0.0))
        d[o] += part
    return d


def python_loop(fronts_fn, mu, sigma, n_samples, percentile=0.2, seed=0):
    N = len(mu)
    k = min(N, max(1, math.ceil(percentile * N)))
    rng = np.random.default_rng(seed)
    win, lose, rank_sum = np.zeros(N, np.int32), np.zeros(N, np.int32), np.zeros(N, np.int64)
    positions = np.arange(N)
    for _ in range(n_samples):
        X = rng.normal(mu, sigma)
        fronts = np.asarray(fronts_fn(X))
        order = np.lexsort((-crowding_numpy(X, fronts), fronts))
        win[order[:k]] += 1
        lose[order[N - k:]] += 1
        rank_sum[order] += positions
    return win, lose, rank_sum


def bench_kernel(args, peers):
    fastest = next((p for p in ("moocore", "pygmo", "pymoo") if p in peers), None)
    if fastest is None:
        print("\nb. skipped: no peer installed for the fronts of the Python loop")
        return {"skipped": "no peer installed"}
    if fastest == "moocore":
        import moocore

        fronts_fn = moocore.pareto_rank
    elif fastest == "pygmo":
        import pygmo

        fronts_fn = lambda X: pygmo.fast_non_dominated_sorting(X)[3]  # noqa: E731
    else:
        from pymoo.util.nds.non_dominated_sorting import NonDominatedSorting

        fronts_fn = lambda X: NonDominatedSorting().do(X, return_rank=True)[1]  # noqa: E731
    points = []
    n_loop, n_ours, target = pick(args, (50, 2000, 0.05), (50, 2000, 0.05), (5, 100, 0.005))
    for M in (2, 3):
        for N in pick(args, (16, 64, 256), (16, 64, 256), (16,)):
            rng = np.random.default_rng(N + M)
            mu, s2 = rng.normal(size=(N, M)), np.full((N, M), 0.09)
            sigma = np.sqrt(s2)
            t, runs = interleaved({"python": lambda: python_loop(fronts_fn, mu, sigma, n_loop),
                                   "ours": lambda: mc_rank_counts(mu, s2, n_ours)},
                                  repeats=pick(args, 11, 3, 1), target=target, budget=2.0)
            per = {"python": t["python"] / n_loop, "ours": t["ours"] / n_ours}
            ratio = paired_ratio(runs, "python", "ours", n_ours / n_loop)
            points.append({"N": N, "M": M, "per_sample_s": per, "ratio": ratio["median"],
                           "ratio_quartiles": ratio["quartiles"], "ratio_ci95": ratio["ci95"]})
            print(f"  b. M={M} N={N}: ours {fmt_time(per['ours'])}/sample", flush=True)
    table(f"b. mc_rank_counts per sample against a Python loop (NumPy normals, {fastest} fronts, "
          "NumPy crowding, np.lexsort, counting); ratio: median of paired rounds and its 95 % CI",
          ["M", "N", "python loop", "mc_rank_counts", "ratio", "95% CI"],
          [[p["M"], p["N"], fmt_time(p["per_sample_s"]["python"]), fmt_time(p["per_sample_s"]["ours"]),
            f"{p['ratio']:.1f}x", fmt_ci(p["ratio_ci95"])] for p in points])
    return {"fronts_from": fastest, "points": points}


# ------------------------------------------------------------------------------------- c. native
def bench_native(args):
    if not args.native:
        print("\nc. skipped: no native binary given (--native)")
        return {"skipped": "no binary"}
    import site

    env = dict(os.environ, PYTHONHOME=sys.base_prefix,
               PYTHONPATH=os.pathsep.join(site.getsitepackages() + [os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([args.native, pick(args, "0.03", "0.01", "0.001")], env=env, check=True,
                         capture_output=True, text=True).stdout
    res = json.loads(out)
    sc = res["sincos_grouping"]
    table(f"c. Native microbenchmark: generator {res['deviates_per_second'] / 1e6:.1f} M deviates/s; sincos "
          f"{fmt_time(sc['grouped_s'])} per call grouped by angle, {fmt_time(sc['stream_order_s'])} in stream order; "
          "per sample: sampling, rating, kernel, overhead = kernel / (sampling + rating)",
          ["M", "N", "sampling", "rating", "kernel", "overhead", "call, 1 sample", "threaded: serial step"],
          [[p["M"], p["N"], fmt_time(p["sampling_s"]), fmt_time(p["rating_s"]), fmt_time(p["kernel_per_sample_s"]),
            f"{p['overhead']:.3f}", fmt_time(p["one_sample_call_s"]), fmt_time(p["cursor_s"])] for p in res["points"]])
    return res


# ------------------------------------------------------------------------------------- d. threads
def bench_threads(args):
    N, M = 256, 3
    rng = np.random.default_rng(7)
    mu, s2 = rng.normal(size=(N, M)), np.full((N, M), 0.09)
    n = pick(args, 6000, 2000, 200)

    def call():
        mc_rank_counts(mu, s2, n)

    def serial():
        call()
        call()

    def parallel():
        ts = [threading.Thread(target=call) for _ in range(2)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    # Paired rounds, the order alternating: each ratio compares runs made moments apart.
    serial_t, parallel_t, ratios = [], [], []
    for r in range(pick(args, 7, 3, 1)):
        pair = {}
        for name in (("serial", "parallel") if r % 2 == 0 else ("parallel", "serial")):
            t0 = time.perf_counter()
            (serial if name == "serial" else parallel)()
            pair[name] = time.perf_counter() - t0
        serial_t.append(pair["serial"])
        parallel_t.append(pair["parallel"])
        ratios.append(pair["serial"] / pair["parallel"])
    t = {"serial": statistics.median(serial_t), "parallel": statistics.median(parallel_t)}
    ratio = statistics.median(ratios)
    table(f"d. Two threads each running mc_rank_counts (N={N}, M={M}, n_samples={n}) against the same "
          f"two calls in series; {os.cpu_count()} cores",
          ["serial", "two threads", "throughput ratio (median of paired rounds)"],
          [[fmt_time(t["serial"]), fmt_time(t["parallel"]), f"{ratio:.2f}x"]])
    return {"N": N, "M": M, "n_samples": n, "seconds": t, "ratio": ratio, "cores": os.cpu_count()}


# ------------------------------------------------------------------------- e. one call, two threads
def paired(fns, rounds, clock=time.perf_counter):
    """name -> median seconds, the median of the paired ratios first / other for each other
    contender, and the same ratios of the process's CPU time; the order of the contenders rotates
    from round to round."""
    names, runs, cpu = list(fns), {name: [] for name in fns}, {name: [] for name in fns}
    for r in range(rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            t0, c0 = clock(), time.process_time()
            fns[name]()
            runs[name].append(clock() - t0)
            cpu[name].append(time.process_time() - c0)
    first = names[0]
    ratios = {n: statistics.median(a / b for a, b in zip(runs[first], runs[n])) for n in names[1:]}
    cpu_ratios = {n: statistics.median(a / b for a, b in zip(cpu[first], cpu[n])) for n in names[1:]}
    return {n: statistics.median(v) for n, v in runs.items()}, ratios, cpu_ratios


def bench_parallel(args, native):
    from vornaquill.selection_core import parallel

    rounds, target = pick(args, (7, 0.25), (3, 0.08), (1, 0.005))
    points, amdahl = [], []
    # The detailed pass in its default quantile mode (exact at these sizes: the medians and
    # quartiles of the stored observations come after the sampling, on the threads) and with
    # streaming P² estimates (every per-sample update on the threads).
    kinds = {"counts": parallel.counts, "detailed": parallel.select_detailed,
             "detailed-P2": functools.partial(parallel.select_detailed, quantiles_mode_i=1)}
    large = pick(args, (256, 1024), (256, 1024), (64,))
    for kind, Ns in (("counts", pick(args, (16, 64, 256, 1024), (16, 64, 256, 1024), (16, 64))), ("detailed", large),
                     ("detailed-P2", large)):
        f = kinds[kind]
        for M in (2, 3, 5):
            for N in Ns:
                rng = np.random.default_rng(N + M)
                mu, s2 = rng.normal(size=(N, M)), np.full((N, M), 0.09)
                n = max(8, int(target / (_one_sample(f, mu, s2) or 1e-6)))
                t, r, c = paired({"1": lambda: f(mu, s2, n, threads=1), "2": lambda: f(mu, s2, n, threads=2)},
                                 rounds)
                points.append({"kind": kind, "N": N, "M": M, "n_samples": n, "per_sample_s": t["1"] / n,
                               "speedup": r["2"], "cpu_2_over_1": 1.0 / c["2"]})
                print(f"  e. {kind} M={M} N={N}: {r['2']:.2f}x", flush=True)
    # The CPU time of both threads over that of one thread is the work the second thread adds; on
    # a machine busy with other work it stays meaningful where the wall-clock ratio does not.
    table("e. One call on two threads against one thread: throughput ratio (median of paired rounds) and "
          "CPU time of the two-thread call over the one-thread call",
          ["pass", "M", "N", "n_samples", "1 thread/sample", "2 threads", "CPU 2t/1t"],
          [[p["kind"], p["M"], p["N"], p["n_samples"], fmt_time(p["per_sample_s"]), f"{p['speedup']:.2f}x",
            f"{p['cpu_2_over_1']:.3f}"] for p in points])
    # Amdahl: a speed-up S on two cores means a serial fraction f = 2 / S - 1 per sample. The
    # native table, when it ran, gives the serial step alone: f = step / kernel time per sample.
    step = {(p["N"], p["M"]): p["cursor_s"] / p["kernel_per_sample_s"] for p in (native or {}).get("points", [])}
    for p in points:
        if p["kind"] == "counts" and p["M"] == 3 and p["N"] >= 64:
            for source, f in (("2-thread speed-up", 2.0 / p["speedup"] - 1.0), ("serial step", step.get((p["N"], 3)))):
                if f is not None:
                    f = min(1.0, max(0.0, f))
                    amdahl.append({"N": p["N"], "from": source, "serial_fraction": f,
                                   "predicted": {c: 1.0 / (f + (1.0 - f) / c) for c in (4, 8, 16, 64)}})
    table("e. Serial fraction per sample (counting, M=3) and the speed-up Amdahl's law predicts from it",
          ["N", "measured from", "serial fraction", "4 cores", "8 cores", "16 cores", "64 cores"],
          [[a["N"], a["from"], f"{a['serial_fraction']:.4f}"] + [f"{a['predicted'][c]:.1f}x" for c in (4, 8, 16, 64)]
           for a in amdahl])
    ties = bench_ties(args)
    return {"points": points, "amdahl": amdahl, "ties": ties, "cores": os.cpu_count()}



def bench_ties(args):
    from vornaquill.selection_core import parallel

    # Ties: many short calls, the two rules alternating, and the median and quartiles of the paired
    # ratios. A few long rounds leave the ratio at the mercy of the machine's state (the cost is a
    # few per cent, the spread of one round about as much).
    ties = []
    pairs = pick(args, 200, 40, 2)
    for M in (2, 3, 5):
        rng = np.random.default_rng(64 + M)
        mu, s2 = rng.normal(size=(64, M)), np.full((64, M), 0.09)
        n = max(8, int(0.01 / (_one_sample(parallel.counts, mu, s2) or 1e-6)))
        runs = {"index": [], "random": []}
        for r in range(pairs):
            for rule in ("index", "random") if r % 2 else ("random", "index"):
                c0 = time.thread_time()  # one thread: the calling thread's CPU time, robust to load
                parallel.counts(mu, s2, n, ties=rule)
                runs[rule].append(time.thread_time() - c0)
        ratios = sorted(a / b for a, b in zip(runs["random"], runs["index"]))
        quartiles = statistics.quantiles(ratios, n=4)
        ties.append({"N": 64, "M": M, "n_samples": n, "pairs": pairs,
                     "per_sample_s": statistics.median(runs["index"]) / n, "cost": quartiles[1] - 1.0,
                     "cost_quartiles": [quartiles[0] - 1.0, quartiles[2] - 1.0]})
    table(f'e. ties="random" against ties="index", one thread, N=64: extra CPU time per sample, median '
          f'(and quartiles) of {pairs} paired calls',
          ["M", "n_samples", "index/sample", "random: extra", "quartiles"],
          [[p["M"], p["n_samples"], fmt_time(p["per_sample_s"]), f"{100 * p['cost']:+.1f} %",
            f"{100 * p['cost_quartiles'][0]:+.1f} .. {100 * p['cost_quartiles'][1]:+.1f} %"] for p in ties])
    return ties

def _one_sample(f, mu, s2):
    t0 = time.perf_counter()
    f(mu, s2, 50)
    return (time.perf_counter() - t0) / 50


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="smaller grid and fewer repeats")
    ap.add_argument("--smoke", action="store_true",
                    help="a check that every table runs: tiny sizes, one repeat, no results written")
    ap.add_argument("--native", help="path of the native microbenchmark binary")
    ap.add_argument("--only", default="a,b,c,d,e", help="comma-separated subset of a,b,c,d,e")
    args = ap.parse_args()
    parts = set(args.only.split(","))
    peers, missing = load_peers()
    for name, why in missing.items():
        print(f"peer {name} not available ({why}); its columns are left out")
    import vornaquill

    meta = {"python": sys.version.split()[0], "numpy": np.__version__, "machine": platform.machine(),
            "processor": platform.processor(), "cores": os.cpu_count(), "quick": args.quick, "smoke": args.smoke,
            "peers": {name: _version(name) for name in peers}, "missing_peers": missing,
            "vornaquill": getattr(vornaquill, "__version__", "?")}
    print("environment:", json.dumps(meta))
    results, failed = {"meta": meta}, []
    t0 = time.perf_counter()
    tables = [("a", "rating", lambda: bench_rating(args, peers)), ("b", "kernel", lambda: bench_kernel(args, peers)),
              ("c", "native", lambda: bench_native(args)), ("d", "threads", lambda: bench_threads(args)),
              ("e", "parallel", lambda: bench_parallel(args, results.get("native")))]
    for part, key, run in tables:
        if part not in parts:
            continue
        try:
            results[key] = run()
        except Exception:  # noqa: BLE001 - reported, the other tables still run, the exit status says so
            traceback.print_exc()
            print(f"\ntable {part} failed")
            failed.append(part)
    if not args.smoke:
        RESULTS.mkdir(exist_ok=True)
        stamp = time.strftime("%Y%m%d-%H%M%S")
        path = RESULTS / f"bench-{stamp}.json"
        path.write_text(json.dumps(results, indent=1))
        (RESULTS / "latest.json").write_text(json.dumps(results, indent=1))
        print(f"\nresults written to {path} ({time.perf_counter() - t0:.0f} s)")
    if failed:
        sys.exit(f"tables failed: {','.join(failed)}")
    print(f"\nall tables ran ({time.perf_counter() - t0:.0f} s)")


def _version(name):
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(name)
    except PackageNotFoundError:
        return "?"


if __name__ == "__main__":
    main()
