"""Detailed selection: results against a small Python model of the pass under scripted orders and
fronts, quantile modes, result structure and shared objects, rating errors, and properties that
hold with the real rating component."""

import math
import os
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from helpers.process import assert_unchanged, resident_bytes, snapshot
from helpers.stream import sample_populations
from vornaquill.pareto_core import _pareto_rating_cy as rating
from vornaquill.selection_core import _mc_rank as m

KEYS = ["mean", "quantiles_mode_used", "median", "std", "q25", "q75"]
METRICS = ("place", "front", "within")


def observe(orders, fronts, n_samples, N, k):
    """Counters and the (n_samples, N, 3) observations (place, front, within) of scripted samples."""
    win, lose = np.zeros(N, np.int32), np.zeros(N, np.int32)
    rank = np.zeros(N, np.int64)
    obs = np.zeros((n_samples, N, 3))
    for s in range(n_samples):
        order, front = orders[s % len(orders)], fronts[s % len(fronts)]
        seen = {}
        for pos, idx in enumerate(order):
            win[idx] += pos < k
            lose[idx] += pos >= N - k
            rank[idx] += pos
            f = front[idx]
            obs[s, idx] = (pos, f, seen.get(f, 0))
            seen[f] = seen.get(f, 0) + 1
    return win, lose, rank, obs


def expected_selection(win, lose, rank, k):
    idx = np.arange(len(win))
    return np.lexsort((idx, rank, -win))[:k].tolist(), np.lexsort((idx, -rank, -lose))[:k].tolist()


def run_scripted(stub, mod, orders, fronts, n_samples, percentile=0.2, **kw):
    N = len(orders[0])
    stub.configure(orders=orders, fronts=fronts)
    return mod.mc_rank_select_detailed(np.zeros((N, 2)), np.ones((N, 2)), n_samples, percentile, **kw)


def random_script(rng, N, n_scripts, n_fronts):
    orders = [rng.permutation(N).tolist() for _ in range(n_scripts)]
    fronts = [rng.integers(0, n_fronts, size=N).tolist() for _ in range(n_scripts)]
    return orders, fronts


def stats_of(result):
    return dict(zip(METRICS, result[5:8]))


# ---------------------------------------------------------------------------------------------
# Against the model, exact quantiles


def test_observations_of_one_sample(stub_rank):
    stub, mod = stub_rank
    # individuals 0 and 1 in front 0, individual 2 in front 1, global order (1, 0, 2)
    r = run_scripted(stub, mod, [[1, 0, 2]], [[0, 0, 1]], 1)
    st = stats_of(r)
    assert st["place"]["mean"].tolist() == [1, 0, 2]
    assert st["front"]["mean"].tolist() == [0, 0, 1]
    assert st["within"]["mean"].tolist() == [1, 0, 0]
    for name in METRICS:  # one sample: no spread, every quantile is the observation
        assert (st[name]["std"] == 0).all()
        for key in ("median", "q25", "q75"):
            assert st[name][key].tolist() == st[name]["mean"].tolist()
        assert st[name]["quantiles_mode_used"] == 0


def test_two_samples_three_and_seven(stub_rank):
    stub, mod = stub_rank
    r = run_scripted(stub, mod, [[1, 2, 3, 0, 4, 5, 6, 7], [1, 2, 3, 4, 5, 6, 7, 0]], [[0] * 8], 2)
    place = r[5]
    assert (place["median"][0], place["q25"][0], place["q75"][0], place["std"][0]) == (5.0, 4.0, 6.0, 2.0)
    assert place["mean"][0] == 5.0


@pytest.mark.parametrize(
    "N, n_samples, percentile, n_fronts, kw",
    [
        (5, 3, 0.4, 2, {}),
        (9, 17, 0.25, 3, {"quantiles_mode_i": 0}),
        (12, 40, 0.6, 4, {"quantiles_mode_i": 7}),  # k > N/2: middle positions win and lose
        (7, 4, 1.0, 7, {"quantiles_mode_i": 1}),  # fewer than five samples stay exact in mode 1
        (1, 6, 0.5, 1, {}),
        (20, 30, 1e-9, 5, {"quantiles_budget": 600}),  # exactly at the budget
    ],
)
def test_exact_mode_matches_model(stub_rank, N, n_samples, percentile, n_fronts, kw):
    stub, mod = stub_rank
    rng = np.random.default_rng(N * 1000 + n_samples)
    orders, fronts = random_script(rng, N, 5, n_fronts)
    k = min(N, max(1, math.ceil(percentile * N)))
    r = run_scripted(stub, mod, orders, fronts, n_samples, percentile, **kw)
    win, lose, rank, obs = observe(orders, fronts, n_samples, N, k)
    assert len(r) == 9
    assert r[2].tolist() == win.tolist() and r[3].tolist() == lose.tolist() and r[4].tolist() == rank.tolist()
    assert (r[0].tolist(), r[1].tolist()) == expected_selection(win, lose, rank, k)
    for j, name in enumerate(METRICS):
        st, x = stats_of(r)[name], obs[:, :, j]
        assert st["quantiles_mode_used"] == 0
        np.testing.assert_allclose(st["mean"], x.mean(axis=0), rtol=1e-13, atol=1e-13)
        np.testing.assert_allclose(st["std"], x.std(axis=0), rtol=1e-12, atol=1e-12)
        # exact quantiles: NumPy's over the very observations, bit for bit
        assert st["median"].tolist() == np.median(x, axis=0).tolist()
        assert st["q25"].tolist() == np.quantile(x, 0.25, axis=0).tolist()
        assert st["q75"].tolist() == np.quantile(x, 0.75, axis=0).tolist()
    quality = -(r[5]["mean"] + r[6]["mean"] + r[7]["mean"])
    assert r[8].tolist() == quality.tolist()


def test_front_counts_restart_every_sample(stub_rank):
    stub, mod = stub_rank
    # four fronts, then a single front: ranks inside front 0 must restart at 0
    r = run_scripted(stub, mod, [[0, 1, 2, 3], [3, 2, 1, 0]], [[0, 1, 2, 3], [0, 0, 0, 0]], 2)
    assert r[7]["mean"].tolist() == [1.5, 1.0, 0.5, 0.0]  # within ranks (0,3), (0,2), (0,1), (0,0)
    assert r[6]["mean"].tolist() == [0.0, 0.5, 1.0, 1.5]


def test_ties_break_as_in_the_plain_selection(stub_rank):
    stub, mod = stub_rank
    r = run_scripted(stub, mod, [[0, 1, 2, 3], [1, 0, 3, 2]], [[0] * 4], 2, 0.25)
    assert (r[2].tolist(), r[3].tolist(), r[4].tolist()) == ([1, 1, 0, 0], [0, 0, 1, 1], [1, 1, 5, 5])
    assert r[0].tolist() == [0] and r[1].tolist() == [2]
    r = run_scripted(stub, mod, [[0, 1, 2, 3], [1, 0, 3, 2]], [[0] * 4], 2, 1.0)
    assert r[0].tolist() == [0, 1, 2, 3] and r[1].tolist() == [2, 3, 0, 1]  # full permutations


# ---------------------------------------------------------------------------------------------
# Streaming quantiles


def test_streaming_with_five_samples_reports_the_third_smallest(stub_rank):
    stub, mod = stub_rank
    rng = np.random.default_rng(5)
    orders, fronts = random_script(rng, 8, 5, 3)
    r = run_scripted(stub, mod, orders, fronts, 5, quantiles_mode_i=1)
    _, _, _, obs = observe(orders, fronts, 5, 8, 2)
    third = np.sort(obs, axis=0)[2]
    for j, name in enumerate(METRICS):
        st = stats_of(r)[name]
        assert st["quantiles_mode_used"] == 1
        for key in ("median", "q25", "q75"):
            assert st[key].tolist() == third[:, j].tolist()


def test_streaming_read_out_follows_each_estimator(stub_rank):
    probe = pytest.importorskip("vornaquill._testing._native_probe")
    stub, mod = stub_rank
    N, n = 6, 80
    rng = np.random.default_rng(9)
    orders, fronts = random_script(rng, N, 13, 3)
    r = run_scripted(stub, mod, orders, fronts, n, quantiles_budget=N * n - 1)  # one over the budget
    _, _, _, obs = observe(orders, fronts, n, N, 2)
    for j, name in enumerate(METRICS):
        st = stats_of(r)[name]
        assert st["quantiles_mode_used"] == 1
        for key, p in (("q25", 0.25), ("median", 0.5), ("q75", 0.75)):
            want = []
            for i in range(N):
                q, npos, ndes = np.zeros(5), np.zeros(5, np.int32), np.zeros(5)
                probe._p2_init(q, npos, ndes, p, *sorted(obs[:5, i, j]))
                probe.p2_stream(q, npos, ndes, p, np.ascontiguousarray(obs[5:, i, j]))
                want.append(q[2])
            assert st[key].tolist() == want, (name, key)
        # moments stay exact in streaming mode
        np.testing.assert_allclose(st["std"], obs[:, :, j].std(axis=0), rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize(
    "n_samples, N, kw, used",
    [
        (30, 10, {"quantiles_budget": 300}, 0),
        (31, 10, {"quantiles_budget": 300}, 1),
        (5, 3, {"quantiles_budget": 0}, 1),
        (4, 3, {"quantiles_budget": -1}, 0),
        (3, 3, {"quantiles_mode_i": 1}, 0),
        (5, 3, {"quantiles_mode_i": 1}, 1),
        (50, 3, {"quantiles_mode_i": 0, "quantiles_budget": 1}, 0),
        (6, 3, {"quantiles_mode_i": -1, "quantiles_budget": 17}, 1),
        (6, 3, {"quantiles_mode_i": 7, "quantiles_budget": 18}, 0),
    ],
)
def test_quantile_mode_used_and_result_structure(n_samples, N, kw, used):
    rng = np.random.default_rng(n_samples)
    r = m.mc_rank_select_detailed(rng.normal(size=(N, 2)), np.full((N, 2), 0.5), n_samples, **kw)
    assert isinstance(r, tuple) and len(r) == 9
    dicts = r[5:8]
    assert len({id(d) for d in dicts}) == 3
    for d in dicts:
        assert list(d) == KEYS
        assert type(d["quantiles_mode_used"]) is int and d["quantiles_mode_used"] == used
        for key in ("mean", "median", "std", "q25", "q75"):
            assert d[key].dtype == np.float64 and d[key].shape == (N,)
    arrays = [r[j] for j in (0, 1, 2, 3, 4, 8)]
    arrays += [d[key] for d in dicts for key in KEYS if key != "quantiles_mode_used"]
    assert len({id(a) for a in arrays}) == len(arrays)  # every array its own object
    assert [a.dtype for a in r[:5]] == [np.int64, np.int64, np.int32, np.int32, np.int64]
    assert r[8].dtype == np.float64 and r[8].shape == (N,)


@pytest.mark.parametrize("n_samples, used", [(25000, 0), (25001, 1)])
def test_default_budget_boundary(n_samples, used):
    N = 100  # n_samples * N against the default budget of 2,500,000
    rng = np.random.default_rng(2)
    r = m.mc_rank_select_detailed(rng.normal(size=(N, 1)), np.full((N, 1), 1.0), n_samples)
    assert [d["quantiles_mode_used"] for d in r[5:8]] == [used] * 3


# ---------------------------------------------------------------------------------------------
# Quality score


@pytest.mark.parametrize(
    "weights, sign",
    [((1.0, 1.0, 1.0), -1.0), ((1.0, 1.0, 1.0), 1.0), ((0.5, 2.0, -1.5), -1.0), ((0.1, 0.2, 0.3), 3.0),
     ((0.0, 0.0, 1.0), -1.0)],
)
def test_quality_score(stub_rank, weights, sign):
    stub, mod = stub_rank
    rng = np.random.default_rng(4)
    orders, fronts = random_script(rng, 7, 5, 3)
    kw = dict(zip(("quality_w_place", "quality_w_front", "quality_w_within"), weights), quality_sign=sign)
    r = run_scripted(stub, mod, orders, fronts, 9, **kw)
    p, f, w = r[5]["mean"], r[6]["mean"], r[7]["mean"]
    # the running means, combined left to right, then the sign
    want = ((weights[0] * p + weights[1] * f) + weights[2] * w) * sign
    assert r[8].tolist() == want.tolist()
    if weights == (1.0, 1.0, 1.0):
        assert r[8].tolist() == (sign * (p + f + w)).tolist()


def test_quality_defaults(stub_rank):
    stub, mod = stub_rank
    r = run_scripted(stub, mod, [[2, 0, 1]], [[1, 0, 0]], 3)
    # places 1, 2, 0; fronts 1, 0, 0; within ranks 0, 1, 0
    assert r[8].tolist() == [-2.0, -3.0, 0.0]
    assert np.signbit(r[8]).tolist() == [True, True, True]  # 0 times the sign -1.0 is -0.0


# ---------------------------------------------------------------------------------------------
# Failures and the empty population


@pytest.mark.parametrize("fail_at, code", [(0, -3), (1, -3), (1, -7), (4, -1), (5, -2147483648), (6, -3)])
@pytest.mark.parametrize("mode", [0, 1])
def test_rating_error_returns_nothing(stub_rank, fail_at, code, mode):
    stub, mod = stub_rank
    mu, s2 = np.arange(8.0).reshape(4, 2), np.ones((4, 2))
    snap = snapshot(mu, s2)
    refs = sys.getrefcount(mu), sys.getrefcount(s2)
    stub.configure(fail_at=fail_at, fail_code=code)
    with pytest.raises(ValueError, match="pareto_core returned error code") as e:
        mod.mc_rank_select_detailed(mu, s2, 10, quantiles_mode_i=mode)
    assert str(e.value) == f"pareto_core returned error code: {code}"
    assert len(stub.records()) == fail_at + 1
    del e
    assert (sys.getrefcount(mu), sys.getrefcount(s2)) == refs
    assert_unchanged(snap)


@pytest.mark.parametrize("n_samples, percentile", [(0, 5.0), (-3, float("nan")), (10, 0.2)])
def test_empty_population_shares_objects(n_samples, percentile):
    r = m.mc_rank_select_detailed(np.zeros((0, 3)), np.zeros((0, 3)), n_samples, percentile)
    assert len(r) == 9
    assert r[0] is r[1] and r[2] is r[3] and r[5] is r[6] is r[7]
    assert r[4] is not r[0] and r[0] is not r[2]
    assert [(a.dtype, a.shape) for a in r[:5]] == [(np.int64, (0,)), (np.int64, (0,)), (np.int32, (0,)),
                                                  (np.int32, (0,)), (np.int64, (0,))]
    assert list(r[5]) == ["mean", "median", "std", "q25", "q75"]
    assert all(v is r[8] for v in r[5].values())
    assert r[8].dtype == np.float64 and r[8].shape == (0,)


@pytest.mark.parametrize(
    "args, message",
    [  # the first fault in check order is reported: mu, sigma2, shapes, n_samples, percentile
        (([1.0], "x", 0, 5.0), "expected a 2D array"),
        ((np.zeros((3, 2)), np.zeros((2, 3)), 0, 5.0), "mu and sigma2 must have the same shape"),
        ((np.zeros((4, 2)), np.zeros((4, 2)), -1, 0.0), "n_samples must be > 0"),
        ((np.zeros((4, 2)), np.zeros((4, 2)), 1, 1.5), r"percentile must be in \(0,1\]"),
    ],
)
def test_checks_in_order(args, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        m.mc_rank_select_detailed(*args)


def test_nan_percentile_is_a_value_error():
    with pytest.raises(ValueError, match="cannot convert float NaN to integer"):
        m.mc_rank_select_detailed(np.zeros((4, 2)), np.zeros((4, 2)), 3, float("nan"))


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer holds freed memory back")
def test_exact_buffers_too_large_raise_memory_error_and_leak_nothing():
    # Everything before the buffers is written (sigma alone is 1.6 MB), so a leak of the arrays
    # made so far would show in the resident size.
    mu, s2 = np.zeros((2000, 100)), np.ones((2000, 100))
    refs = sys.getrefcount(mu), sys.getrefcount(s2)
    huge = dict(quantiles_mode_i=0)  # three (2**31 - 1, 2000) float64 buffers: tens of terabytes
    with pytest.raises(MemoryError):
        m.mc_rank_select_detailed(mu, s2, 2**31 - 1, **huge)
    before = resident_bytes()
    for _ in range(100):
        with pytest.raises(MemoryError):
            m.mc_rank_select_detailed(mu, s2, 2**31 - 1, **huge)
    assert resident_bytes() - before < 40_000_000
    assert (sys.getrefcount(mu), sys.getrefcount(s2)) == refs


# ---------------------------------------------------------------------------------------------
# With the real rating component


def problem(seed, N=12, M=3):
    rng = np.random.default_rng(seed)
    return rng.normal(size=(N, M)), rng.uniform(0.0, 1.5, size=(N, M))


@pytest.mark.parametrize(
    "seed, percentile, kw",
    [
        (0, 0.2, {}),
        (1, 0.5, {"quantiles_mode_i": 1}),
        (2**64 - 1, 1.0, {"mode_i": 0}),
        (7, 0.07, {"quantiles_budget": 0, "mode_i": 1}),
    ],
)
def test_counters_equal_counting_kernel(seed, percentile, kw):
    mu, s2 = problem(seed % 1000)
    snap = snapshot(mu, s2)
    r = m.mc_rank_select_detailed(mu, s2, 150, percentile, seed, **kw)
    shared = {key: kw[key] for key in ("mode_i",) if key in kw}
    counts = m.mc_rank_counts(mu, s2, 150, percentile, seed, **shared)
    for a, b in zip(r[2:5], counts):
        assert a.dtype == b.dtype and a.tolist() == b.tolist()
    sel = m.mc_rank_select(mu, s2, 150, percentile, seed, **shared)
    assert r[0].tolist() == sel[0].tolist() and r[1].tolist() == sel[1].tolist()
    again = m.mc_rank_select_detailed(mu, s2, 150, percentile, seed, **kw)
    for a, b in zip(r[:5] + r[8:], again[:5] + again[8:]):
        assert a.tolist() == b.tolist()
    for d, e in zip(r[5:8], again[5:8]):
        assert all(np.array_equal(d[key], e[key]) for key in KEYS)
    assert_unchanged(snap)


@pytest.mark.parametrize("seed, mode_i", [(3, 1), (11, 0)])
def test_exact_medians_equal_numpy_over_the_observations(seed, mode_i):
    mu, s2 = problem(seed, N=10, M=2)
    n = 40
    r = m.mc_rank_select_detailed(mu, s2, n, 0.3, seed, mode_i)
    obs = np.zeros((n, len(mu), 3))
    for s, X in enumerate(sample_populations(mu.tolist(), s2.tolist(), n, seed)):
        front_id, _, order, _ = rating.rate_population(np.array(X), mode_i)
        seen = {}
        for pos, idx in enumerate(order):
            f = int(front_id[idx])
            obs[s, idx] = (pos, f, seen.get(f, 0))
            seen[f] = seen.get(f, 0) + 1
    for j, d in enumerate(r[5:8]):
        assert d["quantiles_mode_used"] == 0
        assert d["median"].tolist() == np.median(obs[:, :, j], axis=0).tolist()
        assert d["q25"].tolist() == np.quantile(obs[:, :, j], 0.25, axis=0).tolist()
        assert d["q75"].tolist() == np.quantile(obs[:, :, j], 0.75, axis=0).tolist()
        np.testing.assert_allclose(d["mean"], obs[:, :, j].mean(axis=0), rtol=1e-13)


@pytest.mark.parametrize("quantiles_mode_i", [0, 1])
def test_zero_variance_gives_constant_observations(quantiles_mode_i):
    mu = np.array([[0.0, 3.0], [1.0, 1.0], [3.0, 0.0], [2.0, 2.0], [4.0, 4.0]])
    r = m.mc_rank_select_detailed(mu, np.zeros_like(mu) - 1.0, 12, quantiles_mode_i=quantiles_mode_i)
    front_id, _, order, _ = rating.rate_population(mu)
    place = np.argsort(order)
    assert r[5]["mean"].tolist() == place.tolist()
    assert r[6]["mean"].tolist() == front_id.tolist()
    for d in r[5:8]:
        assert (d["std"] == 0).all()
        for key in ("median", "q25", "q75"):
            assert d[key].tolist() == d["mean"].tolist()


def test_concurrent_calls_equal_serial_calls():
    jobs = [(*problem(seed, N=30), 200, 0.2, seed, 1, 0, mode) for seed, mode in [(0, 0), (1, 1), (2, 2), (3, 1)]]
    serial = [m.mc_rank_select_detailed(*job) for job in jobs]
    with ThreadPoolExecutor(max_workers=len(jobs)) as pool:
        concurrent = list(pool.map(lambda job: m.mc_rank_select_detailed(*job), jobs))
    for a, b in zip(concurrent, serial):
        assert all(np.array_equal(x, y) for x, y in zip(a[:5] + a[8:], b[:5] + b[8:]))
        assert all(np.array_equal(d[key], e[key]) for d, e in zip(a[5:8], b[5:8]) for key in KEYS)
