"""Property-based fuzzing of the three public functions and of the rating component's Python entry.

Inputs of every shape (0 rows, 0 columns, up to 200 individuals), dtype and layout, full of NaN,
infinities, huge and subnormal values and negative variances; scalars of every kind for every
argument. Each call either returns a result that holds the invariants of its function or raises
the exception the documented rules predict, and every input is byte for byte as it was before.

VORNAQUILL_FUZZ_EXAMPLES sets the number of examples per test (default 200)."""

import math
import os
import warnings

import numpy as np
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from helpers.hostile import (
    CONVERSION_ERRORS,
    FORMS,
    I32,
    I64,
    U64,
    any_floats,
    coerced,
    dress,
    float_scalar,
    freeze,
    int_scalar,
    percentiles,
    population,
    small_ints,
    values,
)
from vornaquill.pareto_core import rate_population
from vornaquill.selection_core import _mc_rank as m

try:
    from vornaquill._testing import _rating_oracle as oracle
except ImportError:  # the test-only modules are built only with VORNAQUILL_TEST_SUPPORT=ON
    oracle = None

EXAMPLES = int(os.environ.get("VORNAQUILL_FUZZ_EXAMPLES", "200"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

COUNTS_PARAMS = ["n_samples", "percentile", "seed", "mode_i", "within_mode_i"]
DETAILED_PARAMS = COUNTS_PARAMS + ["quantiles_mode_i", "quantiles_budget", "quality_w_place", "quality_w_front",
                                   "quality_w_within", "quality_sign"]
DEFAULTS = {"percentile": 0.2, "seed": 0, "mode_i": 1, "within_mode_i": 0, "quantiles_mode_i": 2,
            "quantiles_budget": 2500000, "quality_w_place": 1.0, "quality_w_front": 1.0, "quality_w_within": 1.0,
            "quality_sign": -1.0}
FUNCS = {"counts": m.mc_rank_counts, "select": m.mc_rank_select, "detailed": m.mc_rank_select_detailed}


@st.composite
def calls(draw, kind):
    """(mu, sigma2, {name: (object, model)}) for one call; optional arguments may be left out."""
    mu, s2 = draw(population())
    cm = coerced(mu)
    empty = isinstance(cm, np.ndarray) and cm.shape[0] == 0
    # Only an empty population may be given a sample count that would take minutes to run.
    # Most calls get well-formed scalars, or a single hostile one, so that the kernels run often.
    hostility = draw(st.sampled_from(["none", "none", "one", "one", "all"]))
    names = DETAILED_PARAMS if kind == "detailed" else COUNTS_PARAMS
    hostile = set(names) if hostility == "all" else {draw(st.sampled_from(names))} if hostility == "one" else set()
    # Only an empty population may be given a sample count that would take minutes to run.
    n_value = small_ints(-3, 12, 0, -(2**31), 2**31, 2**40, -(2**31) - 1, *([2**31 - 1] if empty else []))
    wild = {
        "n_samples": (n_value, I32),
        "percentile": percentiles(),
        "seed": (small_ints(0, 2**64 - 1, -1, 2**64, 2**100), U64),
        "mode_i": (small_ints(0, 1, -1, 2, 2**31, -(2**31)), I32),
        "within_mode_i": (small_ints(0, 0, 0, 1, -1, 2**31), I32),
        "quantiles_mode_i": (small_ints(-2, 3, 2**31 - 1, -(2**31)), I32),
        "quantiles_budget": (small_ints(-(2**63), 2**63 - 1, 0, 5, 2**63, -(2**63) - 1), I64),
    }
    tame = {
        "n_samples": (st.integers(1, 12), I32),
        "percentile": st.one_of(st.floats(0.0, 1.0, exclude_min=True), st.sampled_from([1e-9, 1.0, 5e-324, 0.07])),
        "seed": (st.integers(0, 2**64 - 1), U64),
        "mode_i": (st.sampled_from([0, 1]), I32),
        "within_mode_i": (st.just(0), I32),
        "quantiles_mode_i": (small_ints(-2, 3, 2**31 - 1, -(2**31)), I32),
        "quantiles_budget": (small_ints(-(2**63), 2**63 - 1, 0, 5), I64),
    }
    args = {}
    for name in names:
        if name != "n_samples" and draw(st.integers(0, 2)) == 0:
            continue  # left out: the default applies
        clean = name not in hostile
        strategy = (tame if clean else wild).get(name, any_floats())
        if isinstance(strategy, tuple):
            args[name] = draw(int_scalar(*strategy, clean=clean))
        else:
            args[name] = draw(float_scalar(strategy, clean=clean))
    return mu, s2, args


def predict(kind, mu, s2, args):
    """What the call must do: ("raise", types[, message]), ("empty",) or ("ok", N, k, values)."""
    names = DETAILED_PARAMS if kind == "detailed" else COUNTS_PARAMS
    v = {}
    for name in names:  # scalars are converted first, in parameter order
        if name not in args:
            v[name] = DEFAULTS[name]
            continue
        status, value = args[name][1]
        if status == "err":
            return ("raise", value)
        v[name] = value
    cm = coerced(mu)
    if isinstance(cm, Exception):
        return ("raise", (type(cm),))
    cs = coerced(s2)
    if isinstance(cs, Exception):
        return ("raise", (type(cs),))
    if cm.shape != cs.shape:
        return ("raise", (ValueError,), "mu and sigma2 must have the same shape")
    N = cm.shape[0]
    if N == 0:
        return ("empty",)
    if v["n_samples"] <= 0:
        return ("raise", (ValueError,), "n_samples must be > 0")
    p = v["percentile"]
    if math.isnan(p):
        return ("raise", (ValueError,))
    if not 0.0 < p <= 1.0:
        return ("raise", (ValueError,), "percentile must be in (0,1]")
    if v["mode_i"] not in (0, 1):
        return ("raise", (ValueError,), "pareto_core returned error code: -1")
    if v["within_mode_i"] != 0:
        return ("raise", (ValueError,), "pareto_core returned error code: -2")
    k = min(max(int(np.ceil(p * N)), 1), N)
    return ("ok", N, k, v)


def invoke(fn, mu, s2, args):
    kwargs = {name: obj for name, (obj, _) in args.items()}
    before = [freeze(mu), freeze(s2)] + [freeze(o) for o, _ in args.values()]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            out = fn(mu, s2, **kwargs)
    except Exception as e:  # noqa: BLE001 - checked against the prediction
        out = e
    after = [freeze(mu), freeze(s2)] + [freeze(o) for o, _ in args.values()]
    assert before == after, "a call changed its inputs"
    return out, kwargs


def check_outcome(expect, out):
    event(expect[0] if expect[0] != "raise" else f"raises {expect[1][0].__name__}")
    if expect[0] == "raise":
        assert isinstance(out, expect[1]), f"expected {expect[1]}, got {out!r}"
        if len(expect) > 2:
            assert str(out) == expect[2]
        return False
    assert not isinstance(out, Exception), f"unexpected {out!r}"
    return expect[0] == "ok"


def check_counts(counts, N, k, n):
    win, lose, rank = counts
    assert [a.dtype for a in counts] == [np.int32, np.int32, np.int64]
    assert all(a.shape == (N,) for a in counts)
    # every sample hands out k wins, k losses and the positions 0 ... N-1 once each
    assert win.sum() == n * k and lose.sum() == n * k
    assert rank.sum() == n * (N * (N - 1) // 2)
    assert win.min() >= 0 and win.max() <= n and lose.min() >= 0 and lose.max() <= n
    assert rank.min() >= 0 and rank.max() <= n * (N - 1)


def check_selection(winners, losers, counts, k):
    win, lose, rank = counts
    idx = np.arange(len(win))
    assert winners.dtype == losers.dtype == np.int64 and winners.shape == losers.shape == (k,)
    np.testing.assert_array_equal(winners, np.lexsort((idx, rank, -win))[:k])
    np.testing.assert_array_equal(losers, np.lexsort((idx, -rank, -lose))[:k])


def check_empty(kind, out):
    assert isinstance(out, tuple) and len(out) == {"counts": 3, "select": 5, "detailed": 9}[kind]
    assert all(a.shape == (0,) for a in out[:3 if kind == "counts" else 5])
    if kind != "counts":
        assert out[0] is out[1]
    if kind == "detailed":
        assert out[5] is out[6] is out[7] and list(out[5]) == ["mean", "median", "std", "q25", "q75"]


def fuzz_call(kind, call):
    """Make one drawn call and check its outcome against the prediction. Returns (N, k, converted
    values, result, keyword arguments) when the call had to give a result, else None."""
    mu, s2, args = call
    expect = predict(kind, mu, s2, args)
    out, kwargs = invoke(FUNCS[kind], mu, s2, args)
    if expect[0] == "empty":
        check_empty(kind, out)
    if not check_outcome(expect, out):
        return None
    _, N, k, v = expect
    return N, k, v, out, kwargs


@FUZZ
@given(calls("counts"))
def test_counts(call):
    if got := fuzz_call("counts", call):
        N, k, v, out, _ = got
        check_counts(out, N, k, v["n_samples"])
        if k == N:
            assert (out[0] == v["n_samples"]).all() and (out[1] == v["n_samples"]).all()


@FUZZ
@given(calls("select"))
def test_select(call):
    if got := fuzz_call("select", call):
        N, k, v, out, kwargs = got
        for a, b in zip(out[2:], m.mc_rank_counts(call[0], call[1], **kwargs)):
            np.testing.assert_array_equal(a, b)
        check_counts(out[2:], N, k, v["n_samples"])
        check_selection(out[0], out[1], out[2:], k)


STATS_KEYS = ["mean", "quantiles_mode_used", "median", "std", "q25", "q75"]


@FUZZ
@given(calls("detailed"))
def test_detailed(call):
    got = fuzz_call("detailed", call)
    if not got:
        return
    N, k, v, out, kwargs = got
    n = v["n_samples"]
    assert isinstance(out, tuple) and len(out) == 9
    counting = {name: kwargs[name] for name in COUNTS_PARAMS if name in kwargs}
    for a, b in zip(out[2:5], m.mc_rank_counts(call[0], call[1], **counting)):
        np.testing.assert_array_equal(a, b)
    check_counts(out[2:5], N, k, n)
    check_selection(out[0], out[1], out[2:5], k)
    used = out[5]["quantiles_mode_used"]
    assert used in (0, 1) and (used == 0 or n >= 5)
    if v["quantiles_mode_i"] == 0:
        assert used == 0
    for stats in out[5:8]:
        assert list(stats) == STATS_KEYS and stats["quantiles_mode_used"] == used
        for key in ("mean", "median", "std", "q25", "q75"):
            a = stats[key]
            assert a.dtype == np.float64 and a.shape == (N,) and np.isfinite(a).all(), key
        # every observation is a count in 0 ... N-1
        for key in ("mean", "median", "q25", "q75"):
            assert (stats[key] >= 0).all() and (stats[key] <= N - 1).all(), key
        assert (stats["std"] >= 0).all() and (stats["std"] <= (N - 1) / 2 * (1 + 1e-12)).all()
        if used == 0:
            assert (stats["q25"] <= stats["median"]).all() and (stats["median"] <= stats["q75"]).all()
    # the mean place is the rank sum over the samples
    np.testing.assert_allclose(out[5]["mean"], out[4] / n, rtol=1e-12, atol=1e-9 * N)
    assert out[8].dtype == np.float64 and out[8].shape == (N,)


# ---------------------------------------------------------------- the rating component's entry
@st.composite
def rating_calls(draw):
    N = draw(st.one_of(st.integers(0, 12), st.integers(0, 200)))
    M = draw(st.integers(0, 6))
    shape = (N, M) if draw(st.integers(0, 9)) else draw(st.sampled_from([(), (N,), (N, M, 1)]))
    X = dress(draw(values(shape)), draw(st.sampled_from(FORMS)))
    kwargs = {}
    for name, common in (("mode_i", [0, 1]), ("within_mode_i", [0])):
        if draw(st.booleans()):
            kwargs[name] = draw(st.one_of(st.sampled_from(common), st.sampled_from([-1, 2, 2**31, 1.0, None, "0"]),
                                          st.integers(-(2**40), 2**40)))
    return X, kwargs


@FUZZ
@given(rating_calls())
def test_rate_population(call):
    X, kwargs = call
    before = [freeze(X)] + [freeze(v) for v in kwargs.values()]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            out = rate_population(X, **kwargs)
    except Exception as e:  # noqa: BLE001
        out = e
    assert before == [freeze(X)] + [freeze(v) for v in kwargs.values()], "the call changed its inputs"
    event(f"raises {type(out).__name__}" if isinstance(out, Exception) else "ok")
    mode, within = kwargs.get("mode_i", 1), kwargs.get("within_mode_i", 0)
    if not all(type(s) is int and I32[0] <= s <= I32[1] for s in (mode, within)):
        assert isinstance(out, CONVERSION_ERRORS)
        return
    A = coerced(X)
    if isinstance(A, Exception):
        assert isinstance(out, (type(A), ValueError, TypeError)), repr(out)
        return
    if mode not in (0, 1) or within != 0:
        assert isinstance(out, ValueError)
        return
    assert not isinstance(out, Exception), repr(out)
    front_id, score, order, n_fronts = out
    N = A.shape[0]
    assert front_id.dtype == order.dtype == np.int64 and score.dtype == np.float64
    np.testing.assert_array_equal(np.sort(order), np.arange(N))
    assert (n_fronts >= 1 if N else n_fronts == 0) and n_fronts <= N
    assert ((front_id >= 0) & (front_id < n_fronts)).all()
    assert (np.diff(front_id[order]) >= 0).all() and not np.isnan(score).any()
    if N:
        assert set(front_id.tolist()) == set(range(n_fronts))
    if oracle is not None:
        want = oracle.rate_population(A, mode)
        for a, b in zip(out[:3], want[:3]):
            assert a.tobytes() == b.tobytes()
        assert n_fronts == want[3]
