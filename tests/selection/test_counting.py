"""Counting kernel and winner/loser selection: counts against hand-worked orders from the
scripted stand-in component, selection sizes, checks in their order, coercion of inputs, and
properties that hold with the real rating component."""

import numpy as np
import pytest

from helpers.process import assert_unchanged, snapshot
from vornaquill.selection_core import _mc_rank as m

ORDERS = [[0, 1, 2, 3, 4], [4, 3, 2, 1, 0], [2, 0, 4, 1, 3]]


def five():
    return np.arange(10.0).reshape(5, 2), np.ones((5, 2))


def test_counts_and_selection_from_scripted_orders(stub_rank):
    stub, mod = stub_rank
    mu, s2 = five()
    stub.configure(orders=ORDERS)
    win, lose, rank = mod.mc_rank_counts(mu, s2, 3, 0.4)  # k = ceil(2.0) = 2
    assert win.dtype == lose.dtype == np.int32 and rank.dtype == np.int64
    assert win.tolist() == [2, 1, 1, 1, 1]
    assert lose.tolist() == [1, 2, 0, 2, 1]
    assert rank.tolist() == [5, 7, 4, 8, 6]
    stub.configure(orders=ORDERS)
    winners, losers, w2, l2, r2 = mod.mc_rank_select(mu, s2, 3, 0.4)
    assert winners.dtype == losers.dtype == np.int64
    assert winners.tolist() == [0, 2]  # most wins, then smallest rank sum
    assert losers.tolist() == [3, 1]  # most losses, then largest rank sum
    assert (w2.tolist(), l2.tolist(), r2.tolist()) == (win.tolist(), lose.tolist(), rank.tolist())


def test_ties_break_by_index(stub_rank):
    stub, mod = stub_rank
    stub.configure(orders=[[0, 1, 2, 3], [1, 0, 3, 2]])
    winners, losers, win, lose, rank = mod.mc_rank_select(np.zeros((4, 1)), np.ones((4, 1)), 2, 0.25)
    assert (win.tolist(), lose.tolist(), rank.tolist()) == ([1, 1, 0, 0], [0, 0, 1, 1], [1, 1, 5, 5])
    assert winners.tolist() == [0] and losers.tolist() == [2]


def test_overlapping_top_and_bottom(stub_rank):
    stub, mod = stub_rank
    stub.configure(orders=[[2, 0, 1]])
    win, lose, rank = mod.mc_rank_counts(np.zeros((3, 1)), np.ones((3, 1)), 4, 0.6)  # k = 2 > N/2
    assert win.tolist() == [4, 0, 4] and lose.tolist() == [4, 4, 0]  # position 1 counts twice
    assert rank.tolist() == [4, 8, 0]


def test_modes_are_handed_over_unchanged(stub_rank):
    stub, mod = stub_rank
    mu, s2 = five()
    mod.mc_rank_counts(mu, s2, 2, mode_i=7, within_mode_i=-4)
    assert [(r[1], r[2]) for r in stub.records()] == [(7, -4), (7, -4)]


@pytest.mark.parametrize("fail_at", [0, 1, 4])
@pytest.mark.parametrize("fname", ["mc_rank_counts", "mc_rank_select"])
def test_rating_error_stops_the_call(stub_rank, fail_at, fname):
    stub, mod = stub_rank
    mu, s2 = five()
    snap = snapshot(mu, s2)
    stub.configure(fail_at=fail_at, fail_code=-3)
    with pytest.raises(ValueError, match="pareto_core returned error code") as e:
        getattr(mod, fname)(mu, s2, 10)
    assert str(e.value) == "pareto_core returned error code: -3"
    assert len(stub.records()) == fail_at + 1  # the loop ends at the failing sample
    assert_unchanged(snap)


@pytest.mark.parametrize(
    "kwargs, code",
    [({"mode_i": 2}, -1), ({"mode_i": -1}, -1), ({"within_mode_i": 1}, -2), ({"mode_i": 3, "within_mode_i": 3}, -1)],
)
def test_real_component_error_codes(kwargs, code):
    mu, s2 = five()
    with pytest.raises(ValueError, match=rf"^pareto_core returned error code: {code}$"):
        m.mc_rank_counts(mu, s2, 3, **kwargs)


@pytest.mark.parametrize(
    "N, percentile, k",
    [(100, 0.07, 8), (5, 0.2, 1), (10, 1e-9, 1), (10, 0.25, 3), (7, 1.0, 7), (1, 0.5, 1), (3, 5e-324, 1)],
)
def test_selection_size(N, percentile, k):
    mu = np.random.default_rng(N).normal(size=(N, 2))
    win, lose, rank = m.mc_rank_counts(mu, np.full((N, 2), 0.5), 6, percentile)
    assert win.sum() == lose.sum() == 6 * k
    assert rank.sum() == 6 * N * (N - 1) // 2
    winners, losers, *_ = m.mc_rank_select(mu, np.full((N, 2), 0.5), 6, percentile)
    assert len(winners) == len(losers) == k
    if k == N:
        assert sorted(winners) == sorted(losers) == list(range(N))
        assert (win == 6).all() and (lose == 6).all()


def test_single_individual():
    win, lose, rank = m.mc_rank_counts([[1.0, 2.0]], [[1.0, 1.0]], 9)
    assert (win.tolist(), lose.tolist(), rank.tolist()) == ([9], [9], [0])


@pytest.mark.parametrize("n_samples, percentile", [(0, 5.0), (-3, float("nan")), (10, 0.2)])
def test_empty_population(n_samples, percentile):
    win, lose, rank = m.mc_rank_counts(np.zeros((0, 3)), np.zeros((0, 3)), n_samples, percentile)
    assert [a.dtype for a in (win, lose, rank)] == [np.int32, np.int32, np.int64]
    assert win.shape == lose.shape == rank.shape == (0,)
    assert win is not lose
    winners, losers, *_counts = m.mc_rank_select(np.zeros((0, 3)), np.zeros((0, 3)), n_samples, percentile)
    assert winners is losers and winners.dtype == np.int64 and winners.shape == (0,)


def test_zero_objectives(stub_rank):
    stub, mod = stub_rank
    _win, _lose, rank = mod.mc_rank_counts(np.zeros((4, 0)), np.zeros((4, 0)), 3)
    assert [r[0].shape for r in stub.records()] == [(4, 0)] * 3
    assert rank.sum() == 3 * 6


@pytest.mark.parametrize(
    "mu, s2, n_samples, percentile, message",
    [
        (np.zeros((3, 2)), np.zeros((3, 3)), 0, 5.0, "mu and sigma2 must have the same shape"),
        (np.zeros((2, 3)), np.zeros((3, 3)), 0, 5.0, "mu and sigma2 must have the same shape"),
        (np.zeros((4, 2)), np.zeros((4, 2)), 0, 5.0, "n_samples must be > 0"),
        (np.zeros((4, 2)), np.zeros((4, 2)), 1, 0.0, r"percentile must be in \(0,1\]"),
        (np.zeros((4, 2)), np.zeros((4, 2)), 1, 1.5, r"percentile must be in \(0,1\]"),
        (np.zeros((4, 2)), np.zeros((4, 2)), 1, -np.inf, r"percentile must be in \(0,1\]"),
        ([1.0, 2.0], "not an array", 1, 0.2, "expected a 2D array"),  # mu is coerced first
        (np.zeros((2, 2)), np.zeros((2, 2, 2)), 1, 0.2, "expected a 2D array"),
        (np.zeros((2, 2)), 3.0, 1, 0.2, "expected a 2D array"),
        (None, np.zeros((2, 2)), 1, 0.2, "expected a 2D array"),
    ],
)
@pytest.mark.parametrize("f", [m.mc_rank_counts, m.mc_rank_select])
def test_checks_in_order(f, mu, s2, n_samples, percentile, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        f(mu, s2, n_samples, percentile)


def test_unconvertible_input_raises_numpy_error():
    with pytest.raises(ValueError, match="setting an array element with a sequence"):
        m.mc_rank_counts([[1.0, 2.0], [3.0]], np.ones((2, 2)), 3)
    with pytest.raises(ValueError, match="could not convert string to float: 'a'"):
        m.mc_rank_counts([["a", "b"]], np.ones((1, 2)), 3)


class Tagged(np.ndarray):
    pass


def layouts():
    rng = np.random.default_rng(3)
    mu = rng.normal(size=(6, 3))
    s2 = rng.uniform(0.1, 1.0, size=(6, 3))
    ro_mu, ro_s2 = mu.copy(), s2.copy()
    ro_mu.flags.writeable = ro_s2.flags.writeable = False
    big = np.zeros((12, 6))
    big[::2, ::2] = mu
    yield "fortran", np.asfortranarray(mu), np.asfortranarray(s2)
    yield "transposed", np.ascontiguousarray(mu.T).T, s2
    yield "float32", mu.astype(np.float32).astype(np.float64), s2  # reference values below
    yield "read_only", ro_mu, ro_s2
    yield "strided_view", big[::2, ::2], s2
    yield "lists", mu.tolist(), s2.tolist()
    yield "subclass", mu.view(Tagged), s2


@pytest.mark.parametrize("name, mu, s2", list(layouts()), ids=[c[0] for c in layouts()])
def test_any_layout_gives_the_same_counts_and_is_left_unchanged(name, mu, s2):
    ref_mu = np.array(mu, dtype=np.float64)
    ref = m.mc_rank_counts(np.ascontiguousarray(ref_mu), np.ascontiguousarray(np.asarray(s2)), 40, seed=5)
    snap = snapshot(*(a for a in (mu, s2) if isinstance(a, np.ndarray)))
    got = m.mc_rank_counts(mu, s2, 40, seed=5)
    for a, b in zip(got, ref):
        np.testing.assert_array_equal(a, b)
    assert_unchanged(snap)


def test_integer_and_float32_inputs_are_converted():
    mu_i = np.array([[0, 1], [1, 0], [2, 2]], dtype=np.int32)
    ref = m.mc_rank_counts(mu_i.astype(np.float64), np.zeros((3, 2)), 5)
    for a, b in zip(m.mc_rank_counts(mu_i, np.zeros((3, 2), dtype=np.float32), 5), ref):
        np.testing.assert_array_equal(a, b)


def test_deterministic_ranking_of_the_means():
    # Zero variance: every sample is mu itself; a dominance chain ranks 0, 1, 2 every time.
    mu = np.array([[0.0, 0.0], [1.0, 1.0], [2.0, 2.0]])
    win, lose, rank = m.mc_rank_counts(mu, np.zeros((3, 2)) - 1.0, 25, 0.3)
    assert (win.tolist(), lose.tolist(), rank.tolist()) == ([25, 0, 0], [0, 0, 25], [0, 25, 50])


@pytest.mark.parametrize("seed", [0, 1, 2**64 - 1])
def test_same_seed_same_result(seed):
    rng = np.random.default_rng(11)
    mu, s2 = rng.normal(size=(30, 3)), rng.uniform(0, 2, size=(30, 3))
    a = m.mc_rank_select(mu, s2, 200, 0.3, seed)
    b = m.mc_rank_select(mu, s2, 200, 0.3, seed)
    for x, y in zip(a, b):
        np.testing.assert_array_equal(x, y)
    other = m.mc_rank_counts(mu, s2, 200, 0.3, seed ^ 1)
    assert any(not np.array_equal(x, y) for x, y in zip(a[2:], other))


def test_noisy_better_individual_wins_more_often():
    mu = np.array([[0.0, 0.0], [0.5, 0.5], [3.0, 3.0]])
    win, lose, rank = m.mc_rank_counts(mu, np.full((3, 2), 0.25), 2000, 0.3, 1)
    assert win[0] > win[1] > win[2]
    assert lose[2] > 1900 and rank[0] < rank[1] < rank[2]
