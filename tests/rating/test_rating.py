"""The rating component's Python entry against a brute-force model of its rules: dominance under
the NaN-last preorder, fronts, average ranks, crowding with its exact summation order, the global
order. Results are compared bit for bit on random populations full of ties, duplicate rows, NaN,
infinities and signed zeros."""

import math

import numpy as np
import pytest

from helpers.process import assert_unchanged, snapshot
from helpers.rating import INF, rating_model, rating_population
from vornaquill.pareto_core import rate_population


def assert_bitwise(got, want):
    front, score, order, n_fronts = want
    g_front, g_within, g_order, g_n = got
    assert g_front.dtype == np.int64 and g_order.dtype == np.int64 and g_within.dtype == np.float64
    assert type(g_n) is int and g_n == n_fronts
    assert g_front.tolist() == front
    assert g_within.tobytes() == np.array(score, dtype=np.float64).tobytes()
    assert g_order.tolist() == order


SIZES = [0, 1, 2, 3, 4, 5, 8, 13, 27, 60]


@pytest.mark.parametrize("mode_i", [0, 1])
@pytest.mark.parametrize("M", [0, 1, 2, 3, 4])
@pytest.mark.parametrize("kind", ["special", "grid", "front", "normal"])
def test_matches_model(kind, M, mode_i):
    rng = np.random.default_rng([M, mode_i, len(kind)])
    for N in SIZES:
        for _ in range(2):
            X = rating_population(rng, N, M, kind)
            snap = snapshot(X)
            assert_bitwise(rate_population(X, mode_i, 0), rating_model(X, mode_i))
            assert_unchanged(snap)


# ------------------------------------------------------------------- hand-worked cases of the rules
@pytest.mark.parametrize(
    "X, front",
    [
        ([[1, 2], [2, 1], [3, 3]], [0, 0, 1]),
        ([[1, 1], [1, 1], [2, 2]], [0, 0, 1]),  # identical rows do not dominate each other
        ([[math.nan, 0], [5, 0]], [1, 0]),  # NaN is the worst value
        ([[math.nan, 0], [math.nan, 0]], [0, 0]),  # NaNs tie
        ([[INF, 0], [math.nan, 0]], [0, 1]),
        ([[-0.0, 1], [0.0, 1]], [0, 0]),  # signed zeros tie
        ([[0, 3], [1, 2], [2, 1], [3, 0], [1, 3], [3, 3]], [0, 0, 0, 0, 1, 2]),
    ],
)
def test_fronts_by_hand(X, front):
    for mode_i in (0, 1):
        got, _, _, n = rate_population(np.array(X, dtype=float), mode_i)
        assert got.tolist() == front and n == max(front) + 1


def test_crowding_by_hand():
    # One front of four in values mode: objective 0 sorted 0,1,3,4 -> interior gaps (3-0)/4, (4-1)/4;
    # objective 1 is the mirror image.
    X = np.array([[0.0, 4.0], [1.0, 3.0], [3.0, 1.0], [4.0, 0.0]])
    _, within, order, n = rate_population(X, 0)
    assert n == 1 and within.tolist() == [INF, 1.5, 1.5, INF] and order.tolist() == [0, 3, 1, 2]
    # In ranks mode the same front is 0,1,2,3 per objective: gaps 2/3 twice.
    _, within, _, _ = rate_population(X, 1)
    assert within.tolist() == [INF, 4 / 3, 4 / 3, INF]


@pytest.mark.parametrize(
    "X, within",
    [
        # Range 0: only the ends of each objective's list become +inf, interior adds nothing.
        ([[1.0], [1.0], [1.0], [1.0]], [INF, 0.0, 0.0, INF]),
        # Infinite range: no interior contribution.
        ([[-INF, 1.0], [0.0, 0.0], [1.0, -1.0], [INF, -2.0]], [INF, 2 / 3, 2 / 3, INF]),
        ([[], [], []], [0.0, 0.0, 0.0]),  # M = 0, one front of three
        ([[], []], [INF, INF]),
    ],
)
def test_crowding_edge_values(X, within):
    X = np.array(X, dtype=float) if X[0] else np.empty((len(X), 0))
    _, got, _, _ = rate_population(X, 0)
    assert got.tolist() == within


def test_average_ranks_drive_crowding():
    # Ties share the mean of their positions: column values 5,5,7,9 rank 0.5,0.5,2,3.
    X = np.array([[5.0, 3.0], [5.0, 2.0], [7.0, 1.0], [9.0, 0.0]])
    front, within, _, _ = rate_population(X, 1)
    assert front.tolist() == [1, 0, 0, 0]
    # front 0 = {1, 2, 3}: ranks in objective 0 are 0.5, 2, 3 and in objective 1 are 2, 1, 0.
    assert within.tolist() == [INF, INF, (3 - 0.5) / 2.5 + (2 - 0) / 2, INF]


# --------------------------------------------------------------------- the Python entry's surface
def test_empty_and_result_types():
    for shape in [(0, 0), (0, 3)]:
        f, w, o, n = rate_population(np.empty(shape))
        assert (f.shape, w.shape, o.shape, n) == ((0,), (0,), (0,), 0)
        assert (f.dtype, w.dtype, o.dtype) == (np.int64, np.float64, np.int64)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"mode_i": 2}, "mode_i must be 0 (values) or 1 (ranks)"),
        ({"mode_i": -1}, "mode_i must be 0 (values) or 1 (ranks)"),
        ({"mode_i": 5, "within_mode_i": 5}, "mode_i must be 0 (values) or 1 (ranks)"),
        ({"within_mode_i": 1}, "within_mode_i must be 0 (crowding)"),
    ],
)
def test_bad_modes(kwargs, message):
    X = np.arange(6.0).reshape(3, 2)
    snap = snapshot(X)
    with pytest.raises(ValueError, match="must be 0") as e:
        rate_population(X, **kwargs)
    assert str(e.value) == message
    assert_unchanged(snap)


@pytest.mark.parametrize("X", [[1.0, 2.0], 3.0, None, np.zeros((2, 2, 2)), np.zeros(4)])
def test_not_two_dimensional(X):
    with pytest.raises(ValueError, match=r"^expected a 2D array$"):
        rate_population(X)


def test_coercion_gives_the_same_rating():
    rng = np.random.default_rng(3)
    base = rng.integers(0, 4, size=(20, 3)).astype(float)
    want = rate_population(base)
    fortran = np.asfortranarray(base)
    readonly = base.copy()
    readonly.flags.writeable = False
    for X in [base.tolist(), base.astype(np.int32), base.astype(np.float32), fortran, base.T.copy().T,
              readonly, np.repeat(base, 2, axis=0)[::2]]:
        snap = snapshot(X) if isinstance(X, np.ndarray) else []
        got = rate_population(X)
        for a, b in zip(got[:3], want[:3]):
            assert a.tobytes() == b.tobytes()
        assert got[3] == want[3]
        assert_unchanged(snap)


def test_keywords_and_defaults():
    X = np.array([[0.0, 4.0], [1.0, 3.0], [3.0, 1.0], [4.0, 0.0]])
    by_kw = rate_population(within_mode_i=0, X=X)
    by_mode1 = rate_population(X, 1)
    assert by_kw[1].tobytes() == by_mode1[1].tobytes()  # mode_i defaults to ranks
    with pytest.raises(TypeError):
        rate_population()
    with pytest.raises(TypeError):
        rate_population(X, mode="1")
