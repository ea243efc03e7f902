"""The sampling loop runs without the interpreter lock, concurrent calls agree with serial ones, and
Ctrl-C stops a long call without leaving a thread behind."""

import _thread
import os
import threading
import time

import numpy as np
import pytest

from helpers.process import UNDER_CPU_EMULATOR
from vornaquill.selection_core import _mc_rank as m
from vornaquill.selection_core import _parallel, select


def test_other_threads_run_during_a_long_call():
    rng = np.random.default_rng(0)
    mu, s2 = rng.normal(size=(150, 3)), np.full((150, 3), 0.5)
    done = threading.Event()

    def worker():  # about 0.15 s of sampling
        m.mc_rank_counts(mu, s2, 10000)
        done.set()

    t = threading.Thread(target=worker)
    t0 = time.perf_counter()
    t.start()
    spins = 0
    while not done.is_set():
        spins += 1
    t.join()
    elapsed = time.perf_counter() - t0
    # Holding the lock for the whole call would leave this thread only the moments before and
    # after the sampling loop.
    assert elapsed > 0.05 and spins > 20000


def test_concurrent_calls_equal_serial_calls():
    rng = np.random.default_rng(1)
    jobs = [(rng.normal(size=(n, 2)), np.full((n, 2), 0.3), 300, 0.2, seed) for seed, n in enumerate([10, 40, 70, 25])]
    serial = [m.mc_rank_select(*job) for job in jobs]
    results = [None] * len(jobs)

    def run(i):
        results[i] = m.mc_rank_select(*jobs[i])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for a, b in zip(results, serial):
        for x, y in zip(a, b):
            np.testing.assert_array_equal(x, y)


@pytest.mark.skipif(UNDER_CPU_EMULATOR, reason="the CPU emulator runs threads of its own, which the count of "
                    "/proc/self/task would include")
@pytest.mark.parametrize("call", [select, _parallel.counts])
@pytest.mark.parametrize("threads, ties", [(1, "index"), (2, "index"), (1, "random"), (2, "random")])
def test_ctrl_c_stops_a_long_call_and_leaves_no_thread(call, threads, ties):
    mu, s2 = np.random.default_rng(1).normal(size=(200, 3)), np.ones((200, 3))  # about a minute of sampling
    before = threading.active_count(), len(os.listdir("/proc/self/task"))
    timer = threading.Timer(0.2, _thread.interrupt_main)  # as a SIGINT would
    timer.start()
    t0 = time.perf_counter()
    with pytest.raises(KeyboardInterrupt):
        call(mu, s2, 10**6, threads=threads, ties=ties)
    elapsed = time.perf_counter() - t0
    timer.join()
    assert 0.2 <= elapsed < 2.0  # 0.2 s plus a look (25 ms) on a loaded machine
    # <=: a thread of an earlier test may still have been exiting when `before` was taken
    assert threading.active_count() <= before[0] and len(os.listdir("/proc/self/task")) <= before[1]
