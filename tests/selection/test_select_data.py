"""`select` on data as users have it: directions, replicates, DataFrames, exact k, checked variances,
and how sure the selection is (Wilson intervals, uncertain members, n_samples="auto")."""

import io
import json
import math
import re
import sys

import numpy as np
import pytest

import vornaquill.selection_core as sc
from helpers.pages import assert_page_examples_pass
from helpers.process import run_python
from helpers.results import assert_same_result, noisy_population
from vornaquill.selection_core._replicates import reduce_long

try:  # an optional dependency: the tests of DataFrames are marked PANDAS and skip without it
    import pandas as pd
except ImportError:
    pd = None
PANDAS = pytest.mark.needs("pandas")

ARRAYS = ("winners", "losers", "win_count", "lose_count", "rank_sum", "quality_score")


def same_selection(a, b):
    assert_same_result([getattr(a, key) for key in ARRAYS] + [a.place], [getattr(b, key) for key in ARRAYS] + [b.place])


@pytest.fixture
def population():
    return noisy_population(5, 12, (3, 0), 0.2)


@pytest.mark.parametrize("form", ["sequence", "mapping", pytest.param("frames", marks=PANDAS)])
def test_maximised_objectives_are_the_negated_input(population, form):
    mu, sigma2 = population
    objectives = ["acc", "loss", "speed"]
    flipped = mu * [-1, 1, -1]
    kwargs = {"sequence": dict(directions=["max", "min", "max"]),
              "mapping": dict(directions={"acc": "max", "speed": "max"}, objectives=objectives)}.get(form)
    if form == "frames":
        def frame(a):
            return pd.DataFrame(a, index=[f"w{i}" for i in range(12)], columns=objectives)

        res = sc.select(frame(mu), frame(sigma2), 200, seed=3, directions={"acc": "max", "speed": "max"})
        assert res.names[1] == "w1" and res.to_frame().index[1] == "w1"
    else:
        res = sc.select(mu, sigma2, 200, seed=3, **kwargs)
    same_selection(res, sc.select(flipped, sigma2, 200, seed=3))
    assert res.directions == ("max", "min", "max")
    np.testing.assert_array_equal(res.mu, mu)  # reported in the user's sign
    doc = json.loads(json.dumps(res.to_dict(), allow_nan=False))
    assert doc["directions"] == ["max", "min", "max"] and doc["mu"][3][0] is None


# Hand-worked: K = 3, 1, 2; individual 1 takes the pooled variance (objective 0: (2 + 2) / (2 + 1),
# objective 1: 6 / 2, individual 2 being left out there by its NaN); a NaN makes the mean NaN.
HAND = [np.array([[1.0, 0.0], [2.0, 0.0], [3.0, 3.0]]), np.array([[10.0, 5.0]]),
        np.array([[4.0, 1.0], [6.0, np.nan]])]
HAND_MU = [[2.0, 1.0], [10.0, 5.0], [5.0, np.nan]]
HAND_SIGMA2 = [[1 / 3, 1.0], [4 / 3, 3.0], [1.0, 0.0]]


@pytest.mark.parametrize("form", ["list", "long", pytest.param("frame", marks=PANDAS)])
def test_replicates_reduce_to_hand_worked_values(form):
    rows = [(name, row) for name, block in zip("abc", HAND) for row in block]
    rows = rows[::2] + rows[1::2]  # replicates of one individual need not be adjacent
    if form == "list":
        mu, sigma2 = sc.from_replicates(HAND)
    elif form == "long":
        names, mu, sigma2, counts = reduce_long([n for n, _ in rows], [r for _, r in rows])
        assert names == ["a", "c", "b"] and counts.tolist() == [3, 2, 1]
        mu, sigma2 = mu[[0, 2, 1]], sigma2[[0, 2, 1]]
    else:
        frame = pd.DataFrame([r for _, r in rows], columns=["x", "y"]).assign(name=[n for n, _ in rows])
        res = sc.select(replicates=frame, n_samples=50)
        assert res.names == ("a", "c", "b") and res.objectives == ("x", "y")
        assert res.replicate_counts.tolist() == [3, 2, 1]
        mu, sigma2 = res.mu[[0, 2, 1]], res.sigma2[[0, 2, 1]]
    np.testing.assert_allclose(mu, HAND_MU)
    np.testing.assert_allclose(sigma2, HAND_SIGMA2)


@pytest.mark.parametrize("call,error,message", [
    (lambda: sc.from_replicates(np.ones((4, 1, 2))), ValueError, "no individual with two or more"),
    (lambda: sc.from_replicates([np.ones((2, 2)), np.ones((2, 3))]), ValueError, r"replicates\[1\] must have shape"),
    (lambda: sc.select(np.ones((2, 2)), np.ones((2, 2)), 5, replicates=np.ones((2, 2, 2))), TypeError, "not both"),
    (lambda: sc.select(n_samples=5), TypeError, "needs mu and sigma2, or replicates"),
    (lambda: sc.from_replicates(np.ones((2, 2, 2)) + 1j), TypeError, "complex values are not supported"),
    (lambda: sc.from_replicates(np.ma.masked_array(np.ones((2, 2, 1)), [[[1], [0]], [[0], [0]]])), TypeError,
     "masked arrays are not supported"),
    (lambda: sc.from_replicates([[[1.7e308], [-1.7e308]], [[1.0], [2.0]]]), ValueError,
     "individual 0, objective 0: the variance of the measurements is beyond the float64 range"),
])
def test_replicate_errors(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_replicates_near_the_float_maximum_keep_their_mean():
    x = np.finfo(np.float64).max  # the plain sum of two overflows
    mu, sigma2 = sc.from_replicates([[[x, 1.0], [x, 3.0]]])
    assert mu.tolist() == [[x, 2.0]] and sigma2.tolist() == [[0.0, 1.0]]


def frames(index=("a", "b", "c"), columns=("x", "y")):
    return pd.DataFrame(np.ones((len(index), len(columns))), index=list(index), columns=list(columns))


@PANDAS
@pytest.mark.parametrize("sigma2,message", [
    (lambda: frames(index=("a", "c", "b")), "same index in the same order"),
    (lambda: frames(columns=("y", "x")), "same columns in the same order"),
    (lambda: frames(columns=("x", "z")), "same columns in the same order"),
    (lambda: np.ones((3, 2)), "both be DataFrames"),
    (lambda: frames().assign(y="fast"), "every column must be numeric"),
])
def test_dataframes_must_line_up(sigma2, message):
    with pytest.raises(ValueError, match=message):
        sc.select(frames(), sigma2(), 10)


def test_intervals_and_uncertain_members(population):
    mu, sigma2 = population
    res = sc.select(mu, sigma2, 300, seed=1)
    z = 1.959963984540054
    for count, interval in ((res.win_count, res.win_interval), (res.lose_count, res.lose_interval)):
        assert interval.dtype == np.float64 and interval.shape == (12, 2)
        for c, (low, high) in zip(count.tolist(), interval.tolist()):
            p, n = c / 300, 300
            centre, half = p + z * z / (2 * n), z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n))
            assert (low, high) == pytest.approx(((centre - half) / (1 + z * z / n),
                                                 (centre + half) / (1 + z * z / n)), abs=1e-15)
    # Exact clones at the top are never separated by more samples; a spread-out exact population is.
    clones = sc.select([[0.0], [0.0], [1.0], [2.0]], np.full((4, 1), 0.1), 400, k=1)
    assert clones.uncertain_winners.tolist() == [0, 1] and not clones.settled
    exact = sc.select([[0.0, 3.0], [1.0, 1.0], [2.0, 2.0], [3.0, 3.0]], np.zeros((4, 2)), 50, k=1)
    assert exact.settled and exact.uncertain_winners.dtype == np.int64


@pytest.mark.parametrize("mu,max_samples,expected", [
    ([[0.0], [1.0], [2.0], [3.0]], None, 1000),  # settled at once
    ([[0.0], [0.0], [1.0], [2.0]], 3000, 3000),  # clones' intervals overlap: 1000, 2000, 3000
])
def test_auto_is_the_fixed_run_with_its_sample_count(mu, max_samples, expected):
    sigma2 = np.full((4, 1), 0.05)
    runs = [sc.select(mu, sigma2, "auto", k=1, seed=3, max_samples=max_samples) for _ in range(2)]
    assert runs[0].n_samples == runs[1].n_samples == expected
    same_selection(runs[0], runs[1])
    same_selection(runs[0], sc.select(mu, sigma2, expected, k=1, seed=3))
    # A longer run starts with the shorter run's samples: each extra sample adds exactly one win.
    counts = np.array([sc.mc_rank_counts(mu, sigma2, n, 0.25, 3)[0] for n in range(1, 30)])
    step = np.diff(counts, axis=0)
    assert ((step == 0) | (step == 1)).all() and (step.sum(axis=1) == 1).all()


@pytest.mark.parametrize("k,n", [(7, 25), (1, 1), (3, 10), (25, 25), (56, 100)])
def test_k_selects_exactly_k(k, n):
    res = sc.select(np.arange(2.0 * n).reshape(n, 2), np.full((n, 2), 0.5), 20, k=k)
    assert len(res.winners) == len(res.losers) == k


@pytest.mark.parametrize("value", [np.nan, np.inf, -1e-300])
@pytest.mark.parametrize("labelled", [False, True])
def test_bad_variances_are_refused_by_element(value, labelled):
    sigma2 = np.ones((4, 3))
    sigma2[2, 1] = sigma2[3, 0] = value
    labels = dict(names=list("abcd"), objectives=["x", "y", "z"]) if labelled else {}
    where = "sigma2[2, 1], individual 'c', objective 'y'" if labelled else "sigma2[2, 1]:"
    with pytest.raises(ValueError, match=re.escape(where)):
        sc.select(np.zeros((4, 3)), sigma2, 10, **labels)


def four(n_samples=10, shape=(4, 2), **kwargs):
    return sc.select(np.ones(shape), np.ones(shape), n_samples, **kwargs)


@pytest.mark.parametrize("call,message", [
    (lambda: four(k=2, percentile=0.5), "either k or percentile"),
    (lambda: four(k=2, percentile=0.2), "either k or percentile"),  # even the default value
    (lambda: four(k=5), "between 1 and the number"),
    (lambda: four(directions=["max"]), "expected 2 entries"),
    (lambda: four(directions={"x": "max"}), "needs named objectives"),
    (lambda: four(directions=["min", "up"]), "'min' or 'max'"),
    (lambda: four(max_samples=100), "only to n_samples='auto'"),
    (lambda: four(mode_i=7), "mode_i must be one of 0 (values), 1 (ranks), got 7"),
    (lambda: four(within_mode_i=1), "within_mode_i must be one of 0 (crowding), got 1"),
    (lambda: four(percentile=np.nan), "percentile must be a finite number (got nan)"),
    (lambda: four(ties=None), "ties must be 'index' or 'random', got None"),
    (lambda: four(quality_w_place=np.nan), "quality_w_place must be a finite number"),
    (lambda: four(quality_sign=-np.inf), "quality_sign must be a finite number"),
    (lambda: four(objectives=["a", "a"]), "'a' names two objectives"),
    (lambda: four(shape=(3, 0)), "no objectives: mu has shape (3, 0)"),
    # counts before the empty shortcut
    (lambda: four(-5, shape=(0, 2)), "n_samples must be between 1 and 2147483647 (got -5)"),
    (lambda: four("auto", max_samples=0), "max_samples must be between 1 and 2147483647 (got 0)"),
    (lambda: four(n_samples=2.7), "n_samples must be an integer, got float 2.7"),
    (lambda: four(np.float64(100.9)), "n_samples must be an integer"),
    (lambda: four(seed=1.5, threads=2), "seed must be an integer"),
    (lambda: four(threads=1.0), "threads must be an integer"),
    (lambda: four("auto", max_samples=True), "max_samples must be an integer, not a bool"),
    (lambda: four(k=np.float64(2.0)), "k must be an integer"),
    (lambda: sc.percentile_for_k(2.0, 4), "k must be an integer"),
    (lambda: four(directions={"max", "min"}), "a set has no order"),
    (lambda: sc.select(np.ones((2, 2)) * 1j, np.ones((2, 2)), 5), "mu: complex values are not supported"),
    (lambda: four(prior="flat"), "prior must be None or 'population'"),
])
def test_option_errors(call, message):
    with pytest.raises((TypeError, ValueError), match=re.escape(message)) as info:
        call()
    # non-integral counts and seeds are the wrong type; the rest are wrong values
    assert (info.type is TypeError) == (any(w in message for w in ("integer", "order", "complex")))


@pytest.mark.parametrize("n_samples", [5, "auto"])
def test_empty_population_first(n_samples):
    wide = np.zeros((0, 2**31))
    res = sc.select(wide, wide, n_samples, directions=["up"], k=3)
    assert res.winners.shape == (0,) and res.win_interval.shape == (0, 2) and res.settled


@pytest.mark.parametrize("module,call,extra", [
    ("pandas", lambda r: r.to_frame(), "vornaquill[pandas]"),
    ("matplotlib.pyplot", lambda r: r.plot(), "vornaquill[plot]"),
    ("tqdm", lambda r: sc.select(r.mu, r.sigma2, 10, progress=True), "vornaquill[progress]"),
])
def test_missing_optional_dependency_names_its_extra(monkeypatch, population, module, call, extra):
    res = sc.select(*population, 10)
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError, match=re.escape(extra)):
        call(res)


@PANDAS
def test_pandas_is_imported_only_on_demand():
    run_python("""
        import sys, numpy as np, vornaquill.selection_core as sc
        r = sc.select(replicates=np.ones((3, 2, 2)) + np.arange(2), n_samples=5)
        assert "pandas" not in sys.modules and "matplotlib" not in sys.modules and "tqdm" not in sys.modules
        r.to_frame()
        assert "pandas" in sys.modules
    """)


@pytest.mark.needs("matplotlib")
def test_plot_draws_on_the_given_axes(population):
    from matplotlib.figure import Figure

    mu, sigma2 = population
    mu[[0, 1], 0] = [1.7e308, -1.7e308]  # the axis arithmetic would overflow
    res = sc.select(mu, sigma2, 50, directions=["min", "max", "min"], objectives=["a", "b", "c"])
    ax = Figure().subplots()
    assert res.plot(ax, objectives=(0, "b")) is ax
    ax.figure.savefig(io.BytesIO(), format="png")
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("a (mean ± 1 sd, lower is better)",
                                                  "b (mean ± 1 sd, higher is better)")
    assert ax.get_title().endswith("not shown (NaN, infinite or beyond ±1.1e+307): 0, 1, 3")
    with pytest.raises(ValueError, match="no objective 'q'"):
        res.plot(ax, objectives=("q", 0))


@PANDAS
def test_guide_examples_print_what_is_shown():
    assert_page_examples_pass("docs/guide.md")
