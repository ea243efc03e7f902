"""The product's rating against the reference implementation kept for the test suite: bit-identical
fronts, scores, order and front count on every kind of population, both modes, sizes that exercise
every method (small and large populations, zero to six objectives)."""

import numpy as np
import pytest

from helpers.rating import rating_population
from vornaquill._testing import _rating_oracle as oracle
from vornaquill.pareto_core import rate_population


def same(X, mode_i):
    got, want = rate_population(X, mode_i), oracle.rate_population(X, mode_i)
    for name, a, b in zip(["front_id", "within", "order"], got[:3], want[:3]):
        assert a.tobytes() == b.tobytes(), (name, X.shape)  # which output, at which N, if it ever differs
    assert got[3] == want[3], X.shape


KINDS = ["special", "grid", "front", "normal", "chain", "ulps", "steps", "skewed", "outlier", "wide",
         "nan_inf", "tied_first"]


def make(rng, N, M, kind):
    if kind == "chain":  # many fronts: objectives share one factor
        t = rng.random((N, 1))
        return np.ascontiguousarray(t + 0.1 * rng.random((N, M)))
    if kind == "steps":  # a front for nearly every step of a shared integer factor, with ties
        t = rng.integers(0, max(1, N // 3), size=(N, 1))
        return (t + rng.integers(0, 2, size=(N, M))).astype(float)
    if kind == "ulps":  # values a few units in the last place apart: equal high halves of the keys
        base = rng.choice(np.array([-2.0, 1.0, 3.0]), size=(N, M))
        return base + rng.integers(0, 6, size=(N, M)) * np.spacing(base)
    # Without repeated rows, for the sorts that place values by where they lie between the
    # extremes: a heavy tail crowds them together, an outlier or a range wider than the largest
    # double leaves no usable spread, NaN and infinities sit outside it.
    if kind == "skewed":
        return np.where(rng.random((N, M)) < 0.5, -1.0, 1.0) * 10.0 ** rng.uniform(-300, 300, size=(N, M))
    if kind == "outlier":
        X = rng.normal(size=(N, M))
        X[rng.integers(0, N), :] = 1e300
        X[rng.integers(0, N), :] = -1e300
        return X
    if kind == "wide":
        return rng.uniform(-1.0, 1.0, size=(N, M)) * 1.5e308
    if kind == "nan_inf":
        X = rng.normal(size=(N, M))
        r = rng.random((N, M))
        X[r < 0.1] = np.nan
        X[(r >= 0.1) & (r < 0.13)] = np.inf
        X[(r >= 0.13) & (r < 0.16)] = -np.inf
        return X
    if kind == "tied_first" and M:  # ties in the first objective only, a lone NaN and -inf in the second
        X = rng.normal(size=(N, M))
        X[:, 0] = rng.integers(0, 4, size=N)
        X[rng.integers(0, N), 1 % M] = np.nan
        X[rng.integers(0, N), 1 % M] = -np.inf
        return X
    return rating_population(rng, N, M, kind)


@pytest.mark.parametrize("mode_i", [0, 1])
@pytest.mark.parametrize("M", [0, 1, 2, 3, 4, 5, 6])
@pytest.mark.parametrize("kind", KINDS)
def test_small_and_medium_populations(kind, M, mode_i):
    rng = np.random.default_rng([M, mode_i, KINDS.index(kind), 1])
    for N in [1, 2, 3, 5, 17, 31, 32, 33, 63, 64, 65, 100, 127, 129, 200, 255, 256, 257]:
        same(make(rng, N, M, kind), mode_i)


@pytest.mark.parametrize("mode_i", [0, 1])
@pytest.mark.parametrize("M", [1, 2, 3, 6])
@pytest.mark.parametrize("kind", KINDS)
def test_large_populations(kind, M, mode_i):
    rng = np.random.default_rng([M, mode_i, KINDS.index(kind), 2])
    # Bit rows of 5 to 8 words, and longer; with three objectives, staircases with a top word.
    for N in [300, 500, 777, 2000] + ([4500] if M == 3 else []):
        same(make(rng, N, M, kind), mode_i)


@pytest.mark.parametrize("mode_i", [0, 1])
def test_past_the_narrow_bucket_counts(mode_i):
    # From 2**16 individuals on, the column sort counts its buckets in 32 bits: one objective of
    # distinct values, where the front is each value's rank and the order sorts them.
    X = np.random.default_rng(3).normal(size=(2**16 + 3, 1))
    front_id, _, order, n_fronts = rate_population(X, mode_i)
    rank = np.argsort(X[:, 0], kind="stable")
    assert n_fronts == len(X) and np.array_equal(order, rank) and np.array_equal(front_id[rank], np.arange(len(X)))
