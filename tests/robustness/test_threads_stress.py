"""Eight threads calling every function at once, with different seeds, sizes and quantile modes,
started together over several rounds: every result equals the one of the same call made alone,
and errors raised inside the sampling loop stay with their own call.

VORNAQUILL_THREAD_ROUNDS sets the number of rounds (default 4)."""

import os
import threading

import numpy as np

from helpers.results import first_difference
from vornaquill.pareto_core import rate_population
from vornaquill.selection_core import _mc_rank as m

THREADS = 8
ROUNDS = int(os.environ.get("VORNAQUILL_THREAD_ROUNDS", "4"))


def make_jobs():
    rng = np.random.default_rng(2024)
    jobs = []
    for j, (N, M) in enumerate([(5, 2), (17, 3), (40, 2), (64, 4), (120, 3), (200, 2), (1, 3), (33, 1)]):
        mu = rng.normal(size=(N, M))
        s2 = rng.uniform(0.0, 1.0, size=(N, M))
        n = max(20, 4000 // N)
        jobs += [
            (m.mc_rank_counts, (mu, s2, n), {"seed": 3 * j, "percentile": 0.1 + 0.1 * (j % 4)}),
            (m.mc_rank_select, (mu, s2, n), {"seed": 3 * j + 1, "mode_i": j % 2}),
            (m.mc_rank_select_detailed, (mu, s2, n), {"seed": 3 * j + 2, "quantiles_mode_i": j % 3}),
            (m.mc_rank_select_detailed, (mu, s2, n), {"seed": 2**64 - 1 - j, "quantiles_budget": 10 * N}),
            (rate_population, (mu + s2,), {"mode_i": j % 2}),
            # fails in the first sample, while other threads are inside their loops
            (m.mc_rank_counts if j % 2 else m.mc_rank_select_detailed, (mu, s2, n), {"mode_i": 5}),
        ]
    return jobs


def outcome(fn, args, kwargs):
    try:
        return fn(*args, **kwargs)
    except ValueError as e:
        return e



def test_concurrent_calls_of_every_function_equal_serial_calls():
    jobs = make_jobs()
    serial = [outcome(*job) for job in jobs]
    assert sum(isinstance(r, ValueError) for r in serial) == 8
    mismatches = []
    lock = threading.Lock()

    def worker(t, barrier, rnd):
        # every thread runs every job, each in its own order
        order = np.random.default_rng([t, rnd]).permutation(len(jobs))
        barrier.wait()
        for i in order:
            got = outcome(*jobs[i])
            if first_difference(got, serial[i]) is not None:
                with lock:
                    mismatches.append((t, rnd, i))

    for rnd in range(ROUNDS):
        barrier = threading.Barrier(THREADS)
        pool = [threading.Thread(target=worker, args=(t, barrier, rnd)) for t in range(THREADS)]
        for th in pool:
            th.start()
        for th in pool:
            th.join()
        assert mismatches == [], f"round {rnd}: results differ from serial ones (thread, round, job)"
