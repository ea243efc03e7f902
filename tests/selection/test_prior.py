"""The population prior: the posterior of a hand-worked population, the cases left as observed, and
`select(prior=...)` choosing the winners on the posterior and the losers on the observed values."""

import importlib.util
import json

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vornaquill.selection_core as sc
from vornaquill.selection_core._prior import population_posterior


def test_posterior_of_a_hand_worked_population():
    # Means 0, 1, 2, 3, each with variance 1; a second objective is the first negated and shifted.
    # m = 1.5, S = sum of squared deviations = 5; the penalised REML tau2 solves
    # 2 t**2 - (S - s) t - s**2 = 0, t = (4 + sqrt(24)) / 4 = 1 + sqrt(6) / 2 = 2.2247449;
    # B = t / (t + 1) = 0.6898979, V_m = (t + 1) / 4 = 0.8061862;
    # means 1.5 + B * (-1.5, -0.5, 0.5, 1.5) = 0.4651531, 1.1550510, 1.8449490, 2.5348469;
    # variance B * 1 + (1 - B)**2 * V_m = 0.6898979 + 0.0775255 = 0.7674235.
    mu = np.array([[0.0], [1.0], [2.0], [3.0]])
    post = population_posterior(np.hstack([mu, 10.0 - mu]), np.ones((4, 2)))
    want = [0.4651531, 1.1550510, 1.8449490, 2.5348469]
    np.testing.assert_allclose(post.mu[:, 0], want, atol=1e-6)
    np.testing.assert_allclose(post.mu[:, 1], 10.0 - np.array(want), atol=1e-6)  # direction-free
    np.testing.assert_allclose(post.sigma2, 0.7674235, atol=1e-6)
    assert post.applied and post.note == ""


def test_estimated_variances_are_moderated_before_the_shrinkage():
    # Four equal variances of means 1 from K = 3 replicates (dof 2): per-measurement variances 3, whose
    # logs do not spread at all, less than a chi-square with 2 dof would (trigamma(1) = pi**2 / 6): one
    # common variance, d0 infinite, no t factor. The mean of log(chi2_2 / 2) is digamma(1) = -gamma, so
    # the common variance is exp(mean log v + gamma) = 3 e**gamma; of the means, e**gamma = 1.7810724.
    mu = np.array([[0.0], [1.0], [2.0], [3.0]])
    moderated = population_posterior(mu, np.ones((4, 1)), dof=np.full(4, 2.0))
    known = population_posterior(mu, np.full((4, 1), 1.7810724))
    np.testing.assert_allclose(moderated.mu, known.mu, rtol=1e-6)
    np.testing.assert_allclose(moderated.sigma2, known.sigma2, rtol=1e-6)
    # select passes K - 1 per individual from replicates; one measured once has a pooled, known variance.
    reps = [np.array([[0.0, 1.0], [0.4, 1.2], [0.1, 0.7]]) + i for i in range(5)] + [np.array([[9.0, 2.0]])]
    res = sc.select(replicates=reps, n_samples=50, prior="population")
    want = population_posterior(res.mu, res.sigma2, dof=[2, 2, 2, 2, 2, np.inf])
    np.testing.assert_array_equal(res.posterior_mu, want.mu)
    np.testing.assert_array_equal(res.posterior_sigma2, want.sigma2)
    assert not np.array_equal(want.sigma2, population_posterior(res.mu, res.sigma2).sigma2)


def _mixed():
    rng = np.random.default_rng(3)
    return rng.normal(size=(8, 2)), rng.uniform(0.2, 2.0, size=(8, 2))


@pytest.mark.parametrize("case, applied, note", [
    ("three individuals", False, "3 individuals with a finite mean, fewer than 4"),
    ("five NaN rows", True, "objective 0: 3 individuals"),
    ("zero variances", True, ""),
    ("no spread beyond the noise", True, ""),  # unpenalised REML: tau2 = 0, every mean onto m
    ("all variances zero", False, "no positive variance"),
])
def test_what_is_left_as_observed(case, applied, note):
    mu, sigma2 = _mixed()
    if case == "three individuals":
        mu, sigma2 = mu[:3], sigma2[:3]
    elif case == "five NaN rows":
        mu[:5, 0] = np.nan
    elif case == "no spread beyond the noise":
        mu *= 0.01
    elif case == "zero variances":
        sigma2[[1, 4], 1] = 0.0
    else:
        sigma2[:] = 0.0
    post = population_posterior(mu, sigma2)
    assert post.applied is applied and note in post.note
    exact = ~np.isfinite(mu) | (sigma2 == 0.0)
    if not applied:
        exact[:] = True
    elif case == "five NaN rows":
        exact[:, 0] = True
    np.testing.assert_array_equal(post.mu[exact], mu[exact])  # NaN kept as NaN, exact means kept
    np.testing.assert_array_equal(post.sigma2[exact], sigma2[exact])
    # Shrunk elsewhere, never onto one value: the order of equal-variance means survives.
    assert (post.sigma2[~exact] < sigma2[~exact]).all()
    assert len(np.unique(post.mu[~exact])) == (~exact).sum()


SELECTED = ("winners", "losers", "win_count", "lose_count", "rank_sum", "quality_score")


@pytest.mark.parametrize("n, prior, note", [(12, None, ""), (3, "population", "fewer than 4")])
def test_without_a_usable_prior_the_selection_is_the_plain_one(n, prior, note):
    mu, sigma2 = np.random.default_rng(5).normal(size=(n, 2)), np.full((n, 2), 0.3)
    res, plain = sc.select(mu, sigma2, 200, seed=2, prior=prior), sc.select(mu, sigma2, 200, seed=2)
    for key in SELECTED:
        np.testing.assert_array_equal(getattr(res, key), getattr(plain, key))
    assert res.prior is None and res.posterior_mu is None and note in res.prior_note


def test_population_prior_takes_winners_from_the_posterior_and_losers_as_observed():
    rng = np.random.default_rng(6)
    mu, sigma2 = rng.normal(size=(10, 2)), rng.uniform(0.1, 1.0, size=(10, 2))
    mu[0, 1] = np.nan
    calls = []
    res = sc.select(mu, sigma2, 300, k=3, seed=4, directions=["max", "min"], objectives=["acc", "loss"],
                    prior="population", progress=lambda done, total: calls.append((done, total)))
    assert calls[0] == (0, 600) and calls[-1] == (600, 600) and calls == sorted(calls)  # two runs, one count
    post = population_posterior(mu, sigma2)
    np.testing.assert_array_equal(res.posterior_mu, post.mu)  # in the user's sign
    np.testing.assert_array_equal(res.mu, mu)
    direct = sc.select(post.mu, post.sigma2, 300, k=3, seed=4, directions=["max", "min"])
    observed = sc.select(mu, sigma2, 300, k=3, seed=4, directions=["max", "min"])
    for key in ("winners", "win_count", "rank_sum", "quality_score", "win_interval", "uncertain_winners"):
        np.testing.assert_array_equal(getattr(res, key), getattr(direct, key))
    for key in ("losers", "lose_count", "lose_probability", "lose_interval", "uncertain_losers"):
        np.testing.assert_array_equal(getattr(res, key), getattr(observed, key))
    doc = json.loads(json.dumps(res.to_dict(), allow_nan=False))
    assert doc["prior"] == "population" and doc["posterior_mu"][0][1] is None
    assert doc["posterior_sigma2"][3] == post.sigma2[3].tolist()
    if importlib.util.find_spec("pandas"):  # the optional DataFrame
        np.testing.assert_array_equal(res.to_frame()["loss_posterior_sigma2"], post.sigma2[:, 1])


@pytest.mark.parametrize("n, k", [(5, 2), (6, 3), (4, 3)])  # 2k > N in the last
def test_a_bad_noisy_individual_stays_a_loser_and_never_wins(n, k):
    # Ten precise individuals 0..9 and one at 20 with a standard deviation of 10: shrunk toward the
    # middle, it would change places with 8 among the losers; it is 10 that loses, as observed.
    mu, sigma2 = np.r_[np.arange(10.0), 20.0][:, None], np.r_[np.full(10, 0.01), 100.0][:, None]
    res = sc.select(mu, sigma2, 2000, k=2, seed=1, prior="population", threads=2)
    assert 10 in res.losers and 10 not in sc.select(res.posterior_mu, res.posterior_sigma2, 2000, k=2, seed=1).losers
    # Small noisy populations: a posterior winner among the observed losers gives its place to the next.
    rng, skipped = np.random.default_rng(n * 10 + k), 0
    for trial in range(100):
        mu, sigma2 = rng.normal(size=(n, 2)), rng.uniform(0.5, 3.0, size=(n, 2))
        res = sc.select(mu, sigma2, 20, k=k, seed=trial, prior="population")
        shrunk_only = sc.select(res.posterior_mu, res.posterior_sigma2, 20, k=k, seed=trial)
        order = np.lexsort((np.arange(n), res.rank_sum, -res.win_count))
        if 2 * k <= n:
            order = order[~np.isin(order, res.losers)]
            skipped += bool(np.intersect1d(shrunk_only.winners, res.losers).size)
        np.testing.assert_array_equal(res.winners, order[:k])
    assert (skipped > 0) == (2 * k <= n)


ISSUE_MU = [[.31, 120], [.29, 150], [.35, 80], [.33, 125], [.30, 90], [np.inf, 100]]
ISSUE_S2 = [[4e-4, 25], [9e-4, 36], [4e-4, 16], [4e-4, 25], [4e-4, 16], [4e-4, 16]]


@pytest.mark.parametrize("x", [1e15, 1e20, 1e154, 1e200, 1e300])
def test_one_huge_finite_mean_is_selected_as_inf_is(x):
    # Once erased the other means (1e20), divided by zero (1e154) or gave NaN for all (1e155 on).
    mu = np.array(ISSUE_MU)
    with_inf = sc.select(mu, ISSUE_S2, 2000, k=2, seed=0, prior="population")
    mu[5, 0] = x
    res = sc.select(mu, ISSUE_S2, 2000, k=2, seed=0, prior="population")
    assert np.isfinite(res.posterior_mu).all() and np.isfinite(res.posterior_sigma2).all()
    np.testing.assert_array_equal(res.winners, with_inf.winners)
    assert set(res.losers.tolist()) == set(with_inf.losers.tolist()) == {3, 5}
    # The outlier inflates tau2 to about x**2 / 6: the others keep their observed order (and means).
    np.testing.assert_allclose(res.posterior_mu[:5, 0], mu[:5, 0], rtol=1e-12)


means = st.lists(st.integers(-1000, 1000), min_size=4, max_size=9, unique=True).map(lambda v: np.array(v) / 100)


@settings(max_examples=60, deadline=None)
@given(y=means, noise=st.data(), power=st.integers(-150, 150), shift=st.floats(-1e3, 1e3),
       outlier=st.sampled_from([None, 15, 100, 280]))
def test_posterior_is_equivariant_to_scale_and_shift(y, noise, power, shift, outlier):
    s = np.array(noise.draw(st.lists(st.floats(1e-3, 10.0), min_size=len(y), max_size=len(y))))
    a = 10.0**power
    if outlier is not None:  # one huge finite mean: the worst, the others keep their order
        y[-1] = 10.0 ** min(outlier, 300 - max(power, 0))
    base = population_posterior(y[:, None], s[:, None])
    with np.errstate(all="raise", under="ignore"):  # no overflow, NaN or division by zero
        scaled = population_posterior((y * a)[:, None], (s * a * a)[:, None])
    shifted = population_posterior((y + shift)[:, None], s[:, None])
    tol = 1e-6 * (np.ptp(y[:-1]) + np.sqrt(s.max()))
    np.testing.assert_allclose(scaled.mu[:, 0] / a, base.mu[:, 0], rtol=1e-6, atol=tol)
    np.testing.assert_allclose(scaled.sigma2[:, 0] / a / a, base.sigma2[:, 0], rtol=1e-6)
    np.testing.assert_allclose(shifted.mu[:, 0] - shift, base.mu[:, 0], rtol=1e-6, atol=tol + 1e-9 * abs(shift))
    np.testing.assert_allclose(shifted.sigma2[:, 0], base.sigma2[:, 0], rtol=1e-6)
    if outlier is not None:
        order = np.argsort(y[:-1])
        assert (np.diff(scaled.mu[order, 0]) > 0).all() and scaled.mu[-1, 0] == scaled.mu[:, 0].max()


@pytest.mark.parametrize("scale", [1e-155, 1e-150, 1e150])
def test_tiny_and_huge_objectives_shrink_as_ordinary_ones(scale):
    # Means near 1e-155 with variances near 4e-314 (below the smallest normal double) gave NaN.
    mu, sigma2 = np.arange(1.0, 6.0)[:, None], np.full((5, 1), 1.6)
    base = population_posterior(mu, sigma2)
    with np.errstate(all="raise", under="ignore"):
        post = population_posterior(mu * scale, sigma2 * scale * scale)
    np.testing.assert_allclose(post.mu / scale, base.mu, rtol=1e-6)
    np.testing.assert_allclose(post.sigma2 / scale / scale, base.sigma2, rtol=1e-6)  # 4e-314: a subnormal
