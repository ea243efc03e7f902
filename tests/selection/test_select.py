"""`select`: the named result holds the detailed kernel's own arrays, every option reaches the kernel
in its slot, and the probabilities are the counts over the number of samples."""

import dataclasses
import json
import pickle
import re

import numpy as np
import pytest

import vornaquill.selection_core as sc
from helpers.results import noisy_population
from vornaquill.selection_core import _select
from vornaquill.selection_core._defaults import quantiles_exact

METRICS = ("place", "front", "within")
STATS = ("mean", "std", "median", "q25", "q75")
KERNEL_ORDER = (
    "percentile", "seed", "mode_i", "within_mode_i", "quantiles_mode_i", "quantiles_budget",
    "quality_w_place", "quality_w_front", "quality_w_within", "quality_sign",
)


@pytest.fixture
def population():
    return noisy_population(11, 9, (4, 1), 0.3)


@pytest.fixture
def recorded(monkeypatch):
    """Calls of the kernel made by `select`, each as (args, returned tuple)."""
    calls = []
    real = _select._parallel.select_detailed

    def spy(*args, **kwargs):
        out = real(*args, **kwargs)
        calls.append((args, out))
        return out

    monkeypatch.setattr(_select._parallel, "select_detailed", spy)
    return calls


def test_result_holds_the_kernel_arrays_themselves(population, recorded):
    mu, sigma2 = population
    res = sc.select(mu, sigma2, 300, percentile=0.3, seed=4)
    ((_, raw),) = recorded
    winners, losers, win, lose, rank, place, front, within, quality = raw
    for got, want in [(res.winners, winners), (res.losers, losers), (res.win_count, win),
                      (res.lose_count, lose), (res.rank_sum, rank), (res.quality_score, quality)]:
        assert got is want
    for name, stats in zip(METRICS, (place, front, within)):
        for key in STATS:
            assert getattr(getattr(res, name), key) is stats[key], (name, key)


# Distinct values in every slot, so that two options passed in each other's place are noticed.
OPTION_SETS = [
    {},
    {"percentile": 0.45, "seed": 2**64 - 1, "mode_i": 0, "quantiles_mode_i": 1},
    {"quantiles_budget": 10, "quality_w_place": 0.5, "quality_w_front": 3.0,
     "quality_w_within": -2.0, "quality_sign": 0.25, "seed": 9},
]


@pytest.mark.parametrize("n_samples", [120, "auto"])
@pytest.mark.parametrize("threads", [1, 2, 0])  # with ties="index" any thread count gives the kernel's result
@pytest.mark.parametrize("options", OPTION_SETS)
def test_options_reach_their_kernel_slots(population, options, threads, n_samples):
    mu, sigma2 = population
    res = sc.select(mu, sigma2, n_samples, **options, threads=threads)
    defaults = dict(zip(KERNEL_ORDER, (0.2, 0, 1, 0, 2, 2_500_000, 1.0, 1.0, 1.0, -1.0)))
    direct = sc.mc_rank_select_detailed(mu, sigma2, res.n_samples,
                                        *({**defaults, **options}[k] for k in KERNEL_ORDER))
    for got, want in zip((res.winners, res.losers, res.win_count, res.lose_count, res.rank_sum,
                          res.quality_score), (*direct[:5], direct[8])):
        np.testing.assert_array_equal(got, want)
    for name, stats in zip(METRICS, direct[5:8]):
        for key in STATS:
            np.testing.assert_array_equal(getattr(getattr(res, name), key), stats[key])
        assert res.quantiles_streamed is bool(stats["quantiles_mode_used"])


@pytest.mark.parametrize("n_samples,percentile", [(1, 0.2), (250, 0.2), (97, 1.0), (40, 1e-9)])
def test_probabilities_are_counts_over_samples(population, n_samples, percentile):
    mu, sigma2 = population
    res = sc.select(mu, sigma2, n_samples, percentile=percentile)
    k = len(res.winners)
    for prob, count in ((res.win_probability, res.win_count), (res.lose_probability, res.lose_count)):
        assert prob.dtype == np.float64 and prob.shape == (9,)
        np.testing.assert_array_equal(prob, count / n_samples)
        # every sample hands out exactly k wins and k losses
        assert prob.sum() == pytest.approx(k)
    assert res.n_samples == n_samples


@pytest.mark.parametrize("mode,n_samples,budget,streamed", [
    (0, 50, 2_500_000, False), (1, 50, 2_500_000, True), (1, 4, 2_500_000, False),
    (2, 50, 9 * 50, False), (2, 50, 9 * 50 - 1, True), (2, 50, 0, True),
])
def test_quantile_mode_is_reported(population, mode, n_samples, budget, streamed):
    mu, sigma2 = population
    res = sc.select(mu, sigma2, n_samples, quantiles_mode_i=mode, quantiles_budget=budget)
    assert res.quantiles_streamed is streamed
    assert quantiles_exact(mode, n_samples, 9, budget) is not streamed  # the rule the command line uses
    assert res.to_dict()["quantiles_mode_used"] == ("streaming" if streamed else "exact")


def test_empty_population():
    res = sc.select(np.zeros((0, 2)), np.zeros((0, 2)), 10)
    assert res.winners.shape == res.losers.shape == (0,)
    assert res.win_probability.shape == (0,) and res.quantiles_streamed is False
    assert res.place.median.shape == (0,)


@pytest.mark.parametrize("weight", [1.0, 1e308])  # 1e308 overflows the quality scores to -inf
def test_result_is_frozen_and_serialisable(population, weight):
    mu, sigma2 = population
    res = sc.select(mu, sigma2, 60, quality_w_place=weight)
    with pytest.raises(dataclasses.FrozenInstanceError):
        res.winners = np.zeros(0, np.int64)  # type: ignore[misc]
    mu[0, 0] = sigma2[0, 0] = 99.0  # the caller's arrays are not the result's
    assert res.mu[0, 0] != 99.0 and res.sigma2[0, 0] != 99.0
    again = pickle.loads(pickle.dumps(res))
    arrays = [res.mu, res.winners, res.win_count, res.win_interval, res.uncertain_losers, res.place.q75,
              again.mu, again.place.q75]
    assert not any(a.flags.writeable for a in arrays)
    doc = json.loads(json.dumps(res.to_dict(), allow_nan=False))
    assert doc["winners"] == res.winners.tolist()
    assert doc["place_stats"]["q75"] == res.place.q75.tolist()
    assert doc["lose_probability"] == res.lose_probability.tolist()


ONES = (np.ones((3, 2)), np.ones((3, 2)))


@pytest.mark.parametrize("args,kwargs,message", [
    ((*ONES, 0), {}, "n_samples must be between 1 and 2147483647 (got 0)"),
    ((*ONES, 5), {"percentile": 1.5}, "percentile must be in (0,1]"),
    ((np.ones((3, 2)), np.ones((2, 2)), 5), {}, "mu and sigma2 must have the same shape"),
    ((np.ones(3), np.ones(3), 5), {}, "expected a 2D array"),
    ((*ONES, 5), {"threads": -1}, "threads must be between 0 and 256"),
    ((*ONES, 5), {"ties": "bogus"}, "ties must be 'index' or 'random'"),
    # Out of the kernels' integer types: once the interpreter's OverflowError or a nameless message.
    ((*ONES, 5), {"threads": 2**31}, "threads must be between 0 and 256 (got 2147483648)"),
    ((*ONES, 5), {"seed": 2**64}, "seed must be between 0 and 18446744073709551615"),
    ((*ONES, 5), {"seed": -1}, "seed must be between 0 and 18446744073709551615 (got -1)"),
    ((*ONES, 5), {"quantiles_budget": 2**70}, "quantiles_budget must be between -9223372036854775808 and"),
    ((*ONES, 5), {"quantiles_mode_i": -(2**31) - 1}, "quantiles_mode_i must be between -2147483648 and"),
    ((*ONES, 2**31), {}, "n_samples must be between 1 and 2147483647 (got 2147483648)"),
    ((*ONES, "auto"), {"max_samples": 0}, "max_samples must be between 1 and 2147483647 (got 0)"),
])
def test_kernel_errors_propagate(args, kwargs, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        sc.select(*args, **kwargs)



@pytest.mark.parametrize("n, k", [(6, 2), (5, 2), (9, 4), (6, 3), (5, 3), (3, 2)])  # 2k > N in the last two
def test_winners_and_losers_are_disjoint_whenever_2k_fits(n, k):
    # One individual was both a winner and a loser in 9 of 300 noisy selections (N = 6, k = 2).
    rng = np.random.default_rng(n * 10 + k)
    apart = 0
    for trial in range(150):
        mu, sigma2 = rng.normal(size=(n, 2)), rng.uniform(0.5, 3.0, size=(n, 2))
        res = sc.select(mu, sigma2, 20, k=k, seed=trial)
        win, lose, *_ = sc.mc_rank_select_detailed(mu, sigma2, 20, sc.percentile_for_k(k, n), trial)
        if 2 * k > n or not np.intersect1d(win, lose).size:  # the kernel's lists, as they were
            np.testing.assert_array_equal(res.winners, win)
            np.testing.assert_array_equal(res.losers, lose)
            continue
        apart += 1
        assert not np.intersect1d(res.winners, res.losers).size and len(res.winners) == len(res.losers) == k
        both = np.intersect1d(win, lose)  # each goes to the side it lands on more often
        assert all((i in res.losers) == (res.lose_count[i] > res.win_count[i]) for i in both)
        # each list keeps its order: most wins (losses) first, then the smaller (larger) rank sum
        for chosen, count, sign in ((res.winners, res.win_count, 1), (res.losers, res.lose_count, -1)):
            keys = list(zip(-count[chosen], sign * res.rank_sum[chosen]))
            assert keys == sorted(keys)
    assert (apart > 0) == (2 * k <= n)
