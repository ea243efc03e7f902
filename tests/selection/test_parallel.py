"""Threaded kernels: bit-identical to the single-threaded kernels for any thread count, a rating
error in any thread stops the call, and the ties shuffle removes the index bias without touching
the sampled values."""

import os
import time

import numpy as np
import pytest

from helpers.process import UNDER_CPU_EMULATOR, assert_unchanged, run_python, snapshot
from helpers.results import assert_same_result, patterned_population
from vornaquill.selection_core import _mc_rank as ref
from vornaquill.selection_core import _parallel as par
from vornaquill.selection_core import percentile_for_k


@pytest.mark.parametrize("shape", [(1, 2), (4, 1), (13, 2), (40, 3), (33, 5), (6, 0)])
@pytest.mark.parametrize("pattern", ["dense", "zeros", "nan", "one"])
@pytest.mark.parametrize("threads", [1, 2, 3, 4, 5])
def test_bit_identical_to_single_threaded(shape, pattern, threads):
    mu, s2 = patterned_population(*shape, pattern)
    snap = snapshot(mu, s2)
    # fewer samples than threads; P² estimators started, updated; runs; odd and even sample counts
    # with every interpolation weight of the exact quartiles
    for n in (1, 2, 3, 4, 5, 6, 7, 9, 150):
        args, kw = (mu, s2, n), dict(percentile=0.3, seed=n + 11)
        assert_same_result(par.counts(*args, **kw, threads=threads), ref.mc_rank_counts(*args, **kw))
        assert_same_result(par.select(*args, **kw, threads=threads), ref.mc_rank_select(*args, **kw))
        for qm, budget in ((0, 0), (1, 0), (2, 4 * shape[0])):  # auto: exact up to 4 samples, then streamed
            kw.update(quantiles_mode_i=qm, quantiles_budget=budget)
            assert_same_result(par.select_detailed(*args, **kw, threads=threads),
                               ref.mc_rank_select_detailed(*args, **kw))
    assert_unchanged(snap)


@pytest.mark.parametrize("fname", ["counts", "select", "select_detailed"])
@pytest.mark.parametrize("threads", [1, 2, 5])
def test_argument_checks_and_empty_population(fname, threads):
    f = getattr(par, fname)
    empty = (np.zeros((0, 2)), np.zeros((0, 2)), 0)
    assert_same_result(f(*empty, threads=threads), getattr(ref, "mc_rank_" + fname)(*empty))
    mu, s2 = patterned_population(5, 2, "dense")
    limit = r"^threads must be between 0 and 256 \(0 = every usable core\), got "
    for kw, msg in [({"threads": -1}, limit + "-1$"), ({"threads": 2**31 - 1}, limit + "2147483647$"),
                    ({"threads": 257}, limit), ({"ties": "first"}, "ties must be"),
                    ({"threads": threads, "mode_i": 2}, "pareto_core returned error code: -1")]:
        with pytest.raises(ValueError, match=msg):
            f(mu, s2, 7, **kw)
    with pytest.raises(ValueError, match="n_samples must be > 0"):
        f(mu, s2, 0, threads=threads, ties="random")
    with pytest.raises(TypeError, match=r"^progress must be a callable or None, not int$"):
        f(mu, s2, 5, progress=1)
    assert_same_result(f(mu, s2, 6, threads=0), f(mu, s2, 6))  # 0: every available core


@pytest.mark.parametrize("fname", ["counts", "select_detailed"])
@pytest.mark.parametrize("threads, fail_at", [(2, 0), (3, 5), (5, 17)])
def test_rating_error_in_a_worker_stops_every_thread(stub_par, fname, threads, fail_at):
    stub, mod = stub_par
    mu, s2 = patterned_population(6, 2, "dense")
    snap = snapshot(mu, s2)
    stub.configure(fail_at=fail_at, fail_code=-3)
    with pytest.raises(ValueError, match=r"^pareto_core returned error code: -3$"):
        getattr(mod, fname)(mu, s2, 5000, threads=threads)
    assert fail_at + 1 <= len(stub.records()) < fail_at + 1000  # the other threads stop too
    assert_unchanged(snap)
    stub.reset()
    assert_same_result(getattr(mod, fname)(mu, s2, 9, threads=threads), getattr(mod, fname)(mu, s2, 9))


def test_random_ties_present_the_same_values_and_map_back(stub_par):
    stub, mod = stub_par
    mu, s2 = patterned_population(7, 2, "zeros")
    # The stand-in orders by the first objective: without equal values the presentation order
    # cannot matter, so everything must come back as with index ties.
    for f in ("counts", "select_detailed"):
        assert_same_result(getattr(mod, f)(mu, s2, 12, threads=2, ties="random"), getattr(mod, f)(mu, s2, 12))
    stub.reset()
    mod.counts(mu, s2, 5, ties="random")
    shuffled = [r[0] for r in stub.records()]
    stub.reset()
    mod.counts(mu, s2, 5)
    plain = [r[0] for r in stub.records()]
    assert any((a != b).any() for a, b in zip(shuffled, plain))
    for a, b in zip(shuffled, plain):
        assert_same_result(a[np.lexsort(a.T[::-1])], b[np.lexsort(b.T[::-1])])


def test_random_ties_are_fair_and_independent_of_threads():
    # Two identical noisy individuals, two objectives: when neither dominates, both are boundary
    # members of one front with infinite crowding, and index ties hand the win to individual 0.
    mu, s2, n = np.zeros((2, 2)), np.ones((2, 2)), 8000
    by_index = par.counts(mu, s2, n, percentile=0.5, threads=2)[0] / n
    fair = par.counts(mu, s2, n, percentile=0.5, threads=2, ties="random")
    assert by_index[0] > 0.7
    assert abs(fair[0][0] / n - 0.5) < 4 * np.sqrt(0.25 / n)
    # Three equal points without noise: which one the rating puts first is the tie-break alone, so
    # every presentation order must be equally likely (a cyclic or biased shuffle fails here).
    wins = par.counts(np.ones((3, 2)), np.zeros((3, 2)), n, percentile=percentile_for_k(1, 3), ties="random")[0]
    assert np.all(np.abs(wins / n - 1 / 3) < 4 * np.sqrt(2 / 9 / n))
    mu, s2 = patterned_population(9, 3, "nan")
    one = par.select_detailed(mu, s2, 30, ties="random", seed=4)
    for threads in (2, 3, 5):
        assert_same_result(par.select_detailed(mu, s2, 30, ties="random", seed=4, threads=threads), one)


@pytest.mark.parametrize("fname", ["counts", "select_detailed"])
@pytest.mark.parametrize("threads", [1, 3])
def test_progress_reports_increasing_counts_and_changes_nothing(fname, threads):
    mu, s2 = patterned_population(60, 3, "dense")
    f, n, calls = getattr(par, fname), 6000, []

    def slow(done, total):  # the calling thread pauses; the others sample on
        calls.append((done, total))
        time.sleep(0.02)

    want = getattr(ref, "mc_rank_" + fname)(mu, s2, n, 0.2, 5)
    start = time.perf_counter()
    assert_same_result(f(mu, s2, n, seed=5, threads=threads, progress=slow), want)
    took = time.perf_counter() - start
    done = [d for d, _ in calls]
    assert done == sorted(set(done)) and (done[0], done[-1]) == (0, n)
    # Reports between the first and the last are timed (about every 25 ms), so a machine fast enough
    # to finish while the calling thread sleeps in its first report sees none.
    assert len(done) >= 3 or took < 0.15
    assert {t for _, t in calls} == {n}
    with pytest.raises(ZeroDivisionError):
        f(mu, s2, n, threads=threads, progress=lambda done, total: 1 / 0)


@pytest.mark.skipif(os.environ.get("VQ_ASAN") == "1", reason="the sanitizer reserves more address space than this")
@pytest.mark.skipif(UNDER_CPU_EMULATOR,
                    reason="the CPU emulator does not apply the address-space limit (qemu-user keeps it off "
                           "its own memory), so every thread starts")
def test_a_thread_that_cannot_start_fails_the_call():
    run_python("""
        import resource, numpy as np
        from vornaquill.selection_core import _parallel as par
        mu, s2 = np.zeros((50, 2)), np.ones((50, 2))
        want = par.counts(mu, s2, 100, threads=2)
        used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (24 << 20), resource.RLIM_INFINITY))  # about two stacks
        for f in (par.counts, par.select_detailed):
            try:
                f(mu, s2, 1000, threads=16)
            except RuntimeError as e:
                assert str(e) == "can't start new thread"
            else:
                raise AssertionError("16 threads started")
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        assert (par.counts(mu, s2, 100, threads=2)[0] == want[0]).all()  # the started ones were joined
    """)
