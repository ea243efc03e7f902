"""The rating component's Python entry against a brute-force model of its rules: dominance under
the NaN-last preorder, fronts, average ranks, crowding with its exact summation order, the global
order. Results are compared bit for bit on random populations full of ties, duplicate rows, NaN,
infinities and signed zeros."""

import math

import numpy as np
import pytest

from conftest import assert_unchanged, snapshot
from vornaquill.pareto_core import rate_population

INF = math.inf


# ---------------------------------------------------------------- the model, in plain Python floats
def less(a, b):
    """a strictly before b: numbers by value, NaN after every number, NaNs equal."""
    if math.isnan(a):
        return False
    return math.isnan(b) or a < b


def sort_key(v):
    return (1, 0.0) if math.isnan(v) else (0, v)


def dominates(a, b):
    return all(not less(y, x) for x, y in zip(a, b)) and any(less(x, y) for x, y in zip(a, b))


def average_ranks(rows, M):
    N = len(rows)
    R = [[0.0] * M for _ in range(N)]
    for m in range(M):
        idx = sorted(range(N), key=lambda i: (sort_key(rows[i][m]), i))
        p = 0
        while p < N:
            q = p
            while q + 1 < N and not less(rows[idx[p]][m], rows[idx[q + 1]][m]):
                q += 1
            for j in range(p, q + 1):
                R[idx[j]][m] = (p + q) / 2
            p = q + 1
    return R


def fronts_by_peeling(W):
    N = len(W)
    front = [None] * N
    left = set(range(N))
    f = 0
    while left:
        layer = [i for i in left if not any(dominates(W[j], W[i]) for j in left if j != i)]
        for i in layer:
            front[i] = f
        left -= set(layer)
        f += 1
    return front, f


def crowding(W, members, M, score):
    n = len(members)
    if n <= 2:
        for i in members:
            score[i] = INF
        return
    for i in members:
        score[i] = 0.0
    for m in range(M):
        lst = sorted(members, key=lambda i: (sort_key(W[i][m]), i))
        score[lst[0]] = INF
        score[lst[-1]] = INF
        span = W[lst[-1]][m] - W[lst[0]][m]
        if not (math.isfinite(span) and span > 0.0):
            continue
        for j in range(1, n - 1):
            score[lst[j]] += (W[lst[j + 1]][m] - W[lst[j - 1]][m]) / span


def model(X, mode_i):
    N, M = X.shape
    rows = [[float(v) for v in r] for r in X]
    W = rows if mode_i == 0 else average_ranks(rows, M)
    front, n_fronts = fronts_by_peeling(W)
    score = [None] * N
    for f in range(n_fronts):
        crowding(W, [i for i in range(N) if front[i] == f], M, score)
    order = sorted(range(N), key=lambda i: (front[i], -score[i], i))
    return front, score, order, n_fronts


# ------------------------------------------------------------------------------ random populations
SPECIAL = [math.nan, INF, -INF, 0.0, -0.0, 1.0, -1.0, 2.0, 1e308, -1e308, 5e-324]


def population(rng, N, M, kind):
    if kind == "special":
        X = rng.choice(np.array(SPECIAL), size=(N, M))
    elif kind == "grid":  # few distinct values: many ties and duplicate rows
        X = rng.integers(0, 3, size=(N, M)).astype(float)
    elif kind == "front":  # points on or near one anti-correlated front, some duplicated
        t = rng.random(N)
        X = np.column_stack([t if m % 2 == 0 else 1.0 - t for m in range(M)]) if M else np.empty((N, 0))
        X = X + rng.normal(scale=0.05, size=(N, M)) * (rng.random((N, 1)) < 0.5)
    else:
        X = rng.normal(size=(N, M))
    if N > 1:  # copy some rows onto others
        src = rng.integers(0, N, size=N // 4)
        dst = rng.integers(0, N, size=N // 4)
        X[dst] = X[src]
    return np.ascontiguousarray(X)


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
            X = population(rng, N, M, kind)
            snap = snapshot(X)
            assert_bitwise(rate_population(X, mode_i, 0), model(X, mode_i))
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
    with pytest.raises(ValueError) as e:
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
