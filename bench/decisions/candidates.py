"""Candidate selections for both sides (winners and losers), measured as arms of run.py.

What they vary against today's selection (`mc`) and the population prior (`population`):
  the loser rule   the kernel picks winners and losers by how often an individual lands in the top or
                   bottom k of the sampled orders (`win_count`, `lose_count`); the `-place` arms pick them
                   by the mean sampled place instead (`rank_sum`). The chosen set's mean true place is
                   linear in the places, so under a correct posterior the mean place is the rule that
                   minimises the expected excess and shortfall; the counts favour wide distributions
                   at both ends.
  the two sides    `split` takes the prior's winners and today's losers (skipping the winners);
                   `split-place-win` the winners of `pop-place` and today's losers;
                   `split-place` the winners of `pop-place` and the losers of `mc-place`;
                   `pop-place-lose` the prior's winners and the losers by the prior's mean place;
                   `keep-losers` today's losers exactly, and the prior's winners among the others (the
                   `split` arms skip the winners on the losers' side instead, so their losers can
                   differ from today's); it is the package's `prior="population"` now, and run.py
                   runs it as that.
  moderation       `pop-place-known` is `pop-place` on the reduced means and variances taken as known
                   (with replicates the package first shrinks the estimated variances toward each other).
  the prior shape  `grid` replaces the normal prior by a discrete one on a grid of 200 support points
                   per objective, fitted by EM on the marginal likelihood (nonparametric maximum
                   likelihood), which follows clusters, skew and heavy tails; the selection then samples
                   Normal(posterior mean, posterior variance).
  before           `prior-both-sides` is the population prior as the package had it before it took
                   `keep-losers`'s rule: both sides from the selection on the posterior.
Only `keep-losers` went into the package (it is now `select(..., prior="population")`); the other
arms exist to decide what might go there.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from vornaquill.selection_core import population_posterior, select
from vornaquill.selection_core._prior import _moderated

GRID_POINTS = 200
EM_STEPS = 300


def _by_place(rank_sum: np.ndarray, k: int) -> tuple[np.ndarray, np.ndarray]:
    order = np.lexsort((np.arange(len(rank_sum)), rank_sum))  # ties by index, as the kernel's rule
    return order[:k], np.lexsort((np.arange(len(rank_sum)), -rank_sum))[:k]


def _with_prior(obs: Any, samples: int, seed: int, k: int):
    """The selection on the posterior alone, both sides (what `select(..., prior="population")` did
    before it took the losers from the observed values): the arms below were measured on it."""
    dof = None if obs.replicates is None else np.full(len(obs.mu), obs.replicates.shape[1] - 1.0)
    post = population_posterior(obs.mu, obs.sigma2, dof)
    return select(post.mu, post.sigma2, samples, k=k, seed=seed)


def prior_both_sides(obs, k, samples, seed):
    r = _with_prior(obs, samples, seed, k)
    return r.winners, r.losers


def mc_place(obs, k, samples, seed):
    return _by_place(select(obs.mu, obs.sigma2, samples, k=k, seed=seed).rank_sum, k)


def pop_place(obs, k, samples, seed):
    return _by_place(_with_prior(obs, samples, seed, k).rank_sum, k)


def _skipping(order: np.ndarray, winners: np.ndarray, k: int) -> np.ndarray:
    """The first k of a losers' order that are not winners (the two sides come from different rules)."""
    return order[~np.isin(order, winners)][:k]


def _today_losers_by_count(obs, k, samples, seed) -> np.ndarray:
    r = select(obs.mu, obs.sigma2, samples, k=k, seed=seed)
    return np.lexsort((np.arange(len(r.rank_sum)), -r.rank_sum, -r.lose_count))  # the kernel's losers' order


def split(obs, k, samples, seed):
    winners = _with_prior(obs, samples, seed, k).winners
    return winners, _skipping(_today_losers_by_count(obs, k, samples, seed), winners, k)


def split_place_win(obs, k, samples, seed):
    winners = pop_place(obs, k, samples, seed)[0]
    return winners, _skipping(_today_losers_by_count(obs, k, samples, seed), winners, k)


def pop_place_lose(obs, k, samples, seed):
    r = _with_prior(obs, samples, seed, k)
    return r.winners, _skipping(np.lexsort((np.arange(len(r.rank_sum)), -r.rank_sum)), r.winners, k)


def pop_place_known(obs, k, samples, seed):  # the prior on means and variances as given: no moderation
    return _by_place(select(obs.mu, obs.sigma2, samples, k=k, seed=seed, prior="population").rank_sum, k)


def split_place(obs, k, samples, seed):
    winners = pop_place(obs, k, samples, seed)[0]
    today = select(obs.mu, obs.sigma2, samples, k=k, seed=seed).rank_sum
    return winners, _skipping(np.lexsort((np.arange(len(today)), -today)), winners, k)


def grid_posterior(mu: np.ndarray, sigma2: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Posterior means and variances under a discrete prior fitted per objective (exact means kept)."""
    post_mu, post_s2 = mu.copy(), sigma2.copy()
    for j in range(mu.shape[1]):
        y, s = mu[:, j], sigma2[:, j]
        noisy = s > 0
        if noisy.sum() < 4:
            continue
        grid = np.linspace(y.min(), y.max(), GRID_POINTS)
        yn, sn = y[noisy], s[noisy]
        like = np.exp(-0.5 * (yn[:, None] - grid[None, :]) ** 2 / sn[:, None]) / np.sqrt(sn[:, None])
        weight = np.full(GRID_POINTS, 1.0 / GRID_POINTS)
        for _ in range(EM_STEPS):
            post = like * weight
            post /= post.sum(axis=1, keepdims=True) + 1e-300
            weight = post.mean(axis=0)
        post = like * weight
        post /= post.sum(axis=1, keepdims=True) + 1e-300
        mean = post @ grid
        post_mu[noisy, j] = mean
        post_s2[noisy, j] = np.maximum(post @ grid**2 - mean**2, 0.0)
    return post_mu, post_s2


def _grid_select(obs, k, samples, seed):
    s = obs.sigma2
    if obs.replicates is not None:  # moderate estimated variances as the package's prior does
        dof = np.full(s.shape[0], obs.replicates.shape[1] - 1.0)
        s = np.column_stack([_moderated(s[:, j], dof) for j in range(s.shape[1])])
    return select(*grid_posterior(obs.mu, s), samples, k=k, seed=seed)


def grid(obs, k, samples, seed):
    r = _grid_select(obs, k, samples, seed)
    return r.winners, r.losers


def grid_place(obs, k, samples, seed):
    return _by_place(_grid_select(obs, k, samples, seed).rank_sum, k)


CANDIDATES = {"mc-place": mc_place, "pop-place": pop_place, "pop-place-known": pop_place_known,
              "pop-place-lose": pop_place_lose, "split": split, "split-place": split_place,
              "split-place-win": split_place_win, "grid": grid,
              "grid-place": grid_place, "prior-both-sides": prior_both_sides}
