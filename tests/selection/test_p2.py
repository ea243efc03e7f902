"""The P² streaming quantile estimator, called directly through the test-only probe: worked
sequences, cell boundaries, NaN, the linear fallback, and a long normal stream."""

import math

import numpy as np
import pytest

probe = pytest.importorskip("vornaquill._testing._native_probe")


def record():
    return np.zeros(5), np.zeros(5, dtype=np.int32), np.zeros(5)


def started(p, first_five):
    q, npos, ndes = record()
    probe._p2_init(q, npos, ndes, p, *sorted(first_five))
    return q, npos, ndes


class P2Model:
    """Reference estimator in plain Python floats (IEEE doubles, no fused operations)."""

    def __init__(self, p, first_five):
        self.p = p
        self.q = sorted(first_five)
        self.n = [1, 2, 3, 4, 5]
        self.d = [1.0, 1.0 + 2.0 * p, 1.0 + 4.0 * p, 3.0 + 2.0 * p, 5.0]

    def add(self, x):
        q, n, d, p = self.q, self.n, self.d, self.p
        if x < q[0]:
            q[0], k = x, 0
        elif x >= q[4]:
            q[4], k = x, 3
        else:
            k = next((i for i in range(4) if q[i] <= x < q[i + 1]), 0)
        for i in range(k + 1, 5):
            n[i] += 1
        d[1] += p / 2.0
        d[2] += p
        d[3] += (1.0 + p) / 2.0
        d[4] += 1.0
        for i in (1, 2, 3):
            gap = d[i] - n[i]
            if gap >= 1 and n[i + 1] - n[i] > 1:
                s = 1
            elif gap <= -1 and n[i - 1] - n[i] < -1:
                s = -1
            else:
                continue
            a = float(n[i] - n[i - 1] + s) * (q[i + 1] - q[i]) / float(n[i + 1] - n[i])
            b = float(n[i + 1] - n[i] - s) * (q[i] - q[i - 1]) / float(n[i] - n[i - 1])
            qhat = q[i] + float(s) / float(n[i + 1] - n[i - 1]) * (a + b)
            if q[i - 1] < qhat < q[i + 1]:
                q[i] = qhat
            else:
                q[i] = q[i] + float(s) * (q[i + s] - q[i]) / float(n[i + s] - n[i])
            n[i] += s


# ---------------------------------------------------------------------------------------------
# _sort5


@pytest.mark.parametrize(
    "values",
    [[3, 1, 2, 5, 4], [1, 2, 3, 4, 5], [5, 4, 3, 2, 1], [2, 2, 1, 1, 2], [-1e300, 7, 7, -0.5, 1e-300]],
)
def test_sort5_sorts_ascending(values):
    a = np.array(values, dtype=float)
    probe._sort5(a)
    assert a.tolist() == sorted(values)


def test_sort5_is_stable():
    # 0.0 and -0.0 compare equal: a stable sort keeps their signs in input order.
    a = np.array([1.0, 0.0, -0.0, -1.0, 0.0])
    probe._sort5(a)
    assert a.tolist() == [-1.0, 0.0, 0.0, 0.0, 1.0]
    assert np.signbit(a).tolist() == [True, False, True, False, False]


@pytest.mark.parametrize("bad, exc", [(np.zeros(4), ValueError), (np.zeros(5, dtype=np.float32), TypeError)])
def test_probe_rejects_wrong_records(bad, exc):
    with pytest.raises(exc):
        probe._sort5(bad)


# ---------------------------------------------------------------------------------------------
# _p2_init and the worked sequence 1..5, 6, 7


@pytest.mark.parametrize(
    "p, desired",
    [(0.25, [1, 1.5, 2, 3.5, 5]), (0.5, [1, 2, 3, 4, 5]), (0.75, [1, 2.5, 4, 4.5, 5])],
)
def test_init(p, desired):
    q, npos, ndes = started(p, [5.0, 1.0, 4.0, 2.0, 3.0])
    assert q.tolist() == [1, 2, 3, 4, 5]
    assert npos.tolist() == [1, 2, 3, 4, 5]
    assert ndes.tolist() == desired


def test_worked_sequence_six_then_seven():
    q, npos, ndes = started(0.5, [1, 2, 3, 4, 5])
    assert q[2] == 3.0
    probe._p2_update(q, npos, ndes, 0.5, 6.0)
    assert q.tolist() == [1, 2, 3, 4, 6]
    assert npos.tolist() == [1, 2, 3, 4, 6]
    assert ndes.tolist() == [1, 2.25, 3.5, 4.75, 6]
    probe._p2_update(q, npos, ndes, 0.5, 7.0)
    # marker 2 is one short of its target but blocked by marker 3; marker 3 moves up by the parabola
    assert q.tolist() == [1, 2, 3, 5, 7]
    assert npos.tolist() == [1, 2, 3, 5, 7]
    assert ndes.tolist() == [1, 2.5, 4, 5.5, 7]


@pytest.mark.parametrize(
    "x, heights, positions",
    [
        (0.5, [0.5, 2, 3, 4, 5], [1, 3, 4, 5, 6]),  # below the minimum: new minimum, cell 0
        (1.0, [1, 2, 3, 4, 5], [1, 3, 4, 5, 6]),  # equal to q[0]: cell 0
        (2.0, [1, 2, 3, 4, 5], [1, 2, 4, 5, 6]),  # equal to q[1]: cell 1
        (3.5, [1, 2, 3, 4, 5], [1, 2, 3, 5, 6]),  # inside cell 2
        (4.0, [1, 2, 3, 4, 5], [1, 2, 3, 4, 6]),  # equal to q[3]: cell 3
        (5.0, [1, 2, 3, 4, 5], [1, 2, 3, 4, 6]),  # equal to the maximum: only the last position moves
        (9.0, [1, 2, 3, 4, 9], [1, 2, 3, 4, 6]),  # above the maximum
        (math.nan, [1, 2, 3, 4, 5], [1, 3, 4, 5, 6]),  # NaN: no height, counted as in cell 0
    ],
)
def test_cell_of_one_observation(x, heights, positions):
    q, npos, ndes = started(0.5, [1, 2, 3, 4, 5])
    probe._p2_update(q, npos, ndes, 0.5, x)
    assert q.tolist() == heights
    assert npos.tolist() == positions
    assert ndes.tolist() == [1, 2.25, 3.5, 4.75, 6]  # the desired positions advance whatever x is


def test_nan_stream_leaves_the_extremes_and_drags_the_markers_down():
    # NaNs count as observations below every marker but the first: the inner markers are pulled
    # towards the minimum by prediction, while the extremes keep their heights.
    q, npos, ndes = started(0.25, [1, 2, 3, 4, 5])
    model = P2Model(0.25, [1, 2, 3, 4, 5])
    for x in [math.nan] * 20 + [2.5, math.nan, 4.5]:
        probe._p2_update(q, npos, ndes, 0.25, x)
        model.add(x)
    assert q.tolist() == model.q and npos.tolist() == model.n and ndes.tolist() == model.d
    assert q[0] == 1.0 and q[4] == 5.0 and q[1] < 2.0
    assert npos[0] == 1 and npos[4] == 28 and ndes[4] == 28.0


def test_linear_fallback_when_the_parabola_leaves_the_neighbours():
    # With three equal heights the parabola lands on the neighbour itself, which is not strictly
    # inside; the linear step is taken (and keeps the marker on the plateau).
    q, npos, ndes = started(0.5, [0, 0, 0, 0, 10])
    model = P2Model(0.5, [0, 0, 0, 0, 10])
    for x in [10, 10, 10, 0, 10, 10, 10, 10]:
        probe._p2_update(q, npos, ndes, 0.5, float(x))
        model.add(float(x))
        assert q.tolist() == model.q and npos.tolist() == model.n and ndes.tolist() == model.d
    assert q[0] <= q[1] <= q[2] <= q[3] <= q[4]


def _streams():
    rng = np.random.default_rng(20240501)
    yield "normal", rng.normal(size=400)
    yield "small integers (many ties)", rng.integers(0, 4, size=400).astype(float)
    yield "increasing", np.arange(400, dtype=float)
    yield "decreasing", np.arange(400, 0, -1, dtype=float)
    yield "heavy tail", rng.standard_cauchy(size=400)
    yield "constant then jump", np.r_[np.zeros(200), np.full(200, 1e6)]


@pytest.mark.parametrize("p", [0.25, 0.5, 0.75])
@pytest.mark.parametrize("name, xs", list(_streams()), ids=[n for n, _ in _streams()])
def test_matches_reference_model_bit_for_bit(p, name, xs):
    q, npos, ndes = started(p, xs[:5])
    model = P2Model(p, list(xs[:5]))
    for x in xs[5:]:
        probe._p2_update(q, npos, ndes, p, float(x))
        model.add(float(x))
    assert q.tolist() == model.q
    assert npos.tolist() == model.n
    assert ndes.tolist() == model.d
    # invariants on ordinary data
    assert all(q[i] <= q[i + 1] for i in range(4))
    assert all(npos[i] < npos[i + 1] for i in range(4))
    assert npos[0] == 1 and npos[4] == len(xs) and ndes[0] == 1.0 and ndes[4] == len(xs)
    assert q[0] == xs.min() and q[4] == xs.max()


@pytest.mark.parametrize("p, expected", [(0.25, -0.6744897501960817), (0.5, 0.0), (0.75, 0.6744897501960817)])
def test_long_normal_stream_approaches_the_quantile(p, expected):
    xs = np.random.default_rng(7).normal(size=200_000)
    q, npos, ndes = started(p, xs[:5])
    probe.p2_stream(q, npos, ndes, p, xs[5:])
    assert npos[4] == xs.size
    assert abs(q[2] - expected) < 0.02
    assert abs(q[2] - np.quantile(xs, p)) < 0.02
