"""Per-individual accumulators through the test-only probe: the choice between stored
observations and streaming estimators, running moments, buffers, and estimator start-up."""

import numpy as np
import pytest

probe = pytest.importorskip("vornaquill._testing._native_probe")

EXACT, STREAMING = 0, 1
BIG = 2**31 - 1


@pytest.mark.parametrize(
    "n_samples, N, mode, budget, expected",
    [
        # automatic choice (mode 2) at the budget boundary: n_samples * N == budget is still exact
        (25000, 100, 2, 2500000, (EXACT, 25000)),
        (25001, 100, 2, 2500000, (STREAMING, 5)),
        (4, 10**6, 2, 2500000, (EXACT, 4)),  # fewer than five samples never stream
        (5, 10**6, 2, 2500000, (STREAMING, 5)),
        # non-positive budgets stream whenever there are five samples
        (5, 1, 2, 0, (STREAMING, 5)),
        (5, 1, 2, -1, (STREAMING, 5)),
        (5, 1, 2, -(2**63), (STREAMING, 5)),
        (4, 1, 2, 0, (EXACT, 4)),
        (4, 1, 2, -5, (EXACT, 4)),
        # the product is formed in 64 bits: (2**31 - 1)**2 = 2**62 - 2**32 + 1
        (BIG, BIG, 2, 2**62 - 2**32 + 1, (EXACT, BIG)),
        (BIG, BIG, 2, 2**62 - 2**32, (STREAMING, 5)),
        (BIG, BIG, 2, 2**63 - 1, (EXACT, BIG)),
        # mode 0: always exact, whatever the memory
        (1000, 10000, 0, 2500000, (EXACT, 1000)),
        (BIG, BIG, 0, 0, (EXACT, BIG)),
        (3, 5, 0, -1, (EXACT, 3)),
        # mode 1: streaming from five samples on, regardless of the budget
        (3, 100, 1, 2500000, (EXACT, 3)),
        (4, 100, 1, 0, (EXACT, 4)),
        (5, 1, 1, 2**63 - 1, (STREAMING, 5)),
        (1000, 1, 1, 2500000, (STREAMING, 5)),
    ],
)
def test_configuration_table(n_samples, N, mode, budget, expected):
    assert probe.accumulator_config(n_samples, N, mode, budget) == expected


@pytest.mark.parametrize("other", [7, -1, 3, 2**31 - 1, -(2**31)])
@pytest.mark.parametrize(
    "n_samples, N, budget", [(1, 1, 0), (4, 10, -3), (5, 10, 0), (5, 10, 50), (6, 10, 50), (25001, 100, 2500000)]
)
def test_other_modes_behave_as_automatic(other, n_samples, N, budget):
    assert probe.accumulator_config(n_samples, N, other, budget) == probe.accumulator_config(n_samples, N, 2, budget)


def run(obs, use_p2, S_init):
    """obs: (n_samples, N, 3) observations -> accumulator state with named, shaped arrays."""
    obs = np.ascontiguousarray(obs, dtype=float)
    _n, N, _ = obs.shape
    d = probe.accumulate(obs.ravel(), N, use_p2, S_init)
    return {
        "mean": np.array(d["mean"]).reshape(3, N),
        "M2": np.array(d["M2"]).reshape(3, N),
        "buf": np.array(d["buf"]).reshape(3, S_init, N),
        "q": np.array(d["q"]).reshape(3, 3, N, 5),
        "npos": np.array(d["npos"]).reshape(3, 3, N, 5),
        "ndes": np.array(d["ndes"]).reshape(3, 3, N, 5),
    }


def test_moments_worked_example():
    obs = np.zeros((3, 1, 3))
    obs[:, 0, 0] = [0, 1, 2]
    obs[:, 0, 2] = [5, 5, 5]
    st = run(obs, EXACT, 3)
    assert st["mean"][:, 0].tolist() == [1.0, 0.0, 5.0]
    assert st["M2"][:, 0].tolist() == [2.0, 0.0, 0.0]


def welford(xs):
    mean = m2 = 0.0
    for n, x in enumerate(xs, start=1):
        delta = x - mean
        mean = mean + delta / n
        m2 = m2 + delta * (x - mean)
    return mean, m2


@pytest.mark.parametrize("n_samples, use_p2", [(1, EXACT), (7, EXACT), (5, STREAMING), (300, STREAMING)])
def test_moments_are_exact_in_both_modes(n_samples, use_p2):
    rng = np.random.default_rng(n_samples)
    obs = rng.integers(0, 50, size=(n_samples, 4, 3)).astype(float)
    st = run(obs, use_p2, 5 if use_p2 else n_samples)
    np.testing.assert_allclose(st["mean"], obs.mean(axis=0).T, rtol=1e-13)
    np.testing.assert_allclose(st["M2"], obs.var(axis=0).T * n_samples, rtol=1e-12, atol=1e-9)
    # each step separately rounded: bit-identical to the same recurrence in Python floats
    for m in range(3):
        for i in range(4):
            assert (st["mean"][m, i], st["M2"][m, i]) == welford(obs[:, i, m].tolist())
    if n_samples == 1:
        assert (st["mean"] == obs[0].T).all() and (st["M2"] == 0.0).all()


def test_buffers_hold_observations_by_sample_and_individual():
    obs = np.random.default_rng(1).integers(0, 9, size=(12, 3, 3)).astype(float)
    exact = run(obs, EXACT, 12)
    assert (exact["buf"] == obs.transpose(2, 0, 1)).all()
    streaming = run(obs, STREAMING, 5)
    assert (streaming["buf"] == obs[:5].transpose(2, 0, 1)).all()  # rows 0-4 stay as first written


def test_estimator_start_from_first_five_observations():
    obs = np.zeros((5, 2, 3))
    obs[:, 0, 0] = [4, 2, 9, 2, 7]  # individual 0, place
    obs[:, 1, 1] = [3, 1, 4, 1, 5]  # individual 1, front
    obs[:, 1, 2] = [0, 0, 0, 0, 1]  # individual 1, within
    st = run(obs, STREAMING, 5)
    for j in range(3):
        assert st["q"][0, j, 0].tolist() == [2, 2, 4, 7, 9]
        assert st["q"][1, j, 1].tolist() == [1, 1, 3, 4, 5]
        assert st["q"][2, j, 1].tolist() == [0, 0, 0, 0, 1]
        assert st["npos"][:, j].tolist() == [[[1, 2, 3, 4, 5]] * 2] * 3  # no update after sample 4
    assert st["ndes"][0, 0, 0].tolist() == [1, 1.5, 2, 3.5, 5]
    assert st["ndes"][0, 1, 0].tolist() == [1, 2, 3, 4, 5]
    assert st["ndes"][2, 2, 1].tolist() == [1, 2.5, 4, 4.5, 5]


def test_streaming_records_follow_each_metric_and_probability():
    """Each of the nine records per individual is its own estimator fed with its own metric: the
    same as starting one by hand and feeding it every later observation."""
    rng = np.random.default_rng(3)
    obs = np.stack(
        [rng.integers(0, 30, size=(60, 2)), rng.integers(0, 4, size=(60, 2)), rng.integers(0, 10, size=(60, 2))],
        axis=2,
    ).astype(float)
    st = run(obs, STREAMING, 5)
    for m in range(3):
        for j, p in enumerate([0.25, 0.5, 0.75]):
            for i in range(2):
                q, npos, ndes = np.zeros(5), np.zeros(5, dtype=np.int32), np.zeros(5)
                probe._p2_init(q, npos, ndes, p, *sorted(obs[:5, i, m]))
                probe.p2_stream(q, npos, ndes, p, np.ascontiguousarray(obs[5:, i, m]))
                assert st["q"][m, j, i].tolist() == q.tolist()
                assert st["npos"][m, j, i].tolist() == npos.tolist()
                assert st["ndes"][m, j, i].tolist() == ndes.tolist()
                assert npos[4] == 60
