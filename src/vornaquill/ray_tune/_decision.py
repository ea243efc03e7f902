"""One selection: who is replaced (losers) and who may be cloned (winners) among N trials.

Inside a Pareto front the rating breaks ties by position; `select(..., ties="random")` presents every
Monte-Carlo sample's population in a fresh seeded order, so that no trial wins the ties of a whole
selection. Exactly k winners and k losers, disjoint (`disjoint_winners_losers`, the rule `select`
uses too). With the population prior, each
objective's means are first shrunk toward the population by their reliability (`shrink`); the rule
itself is the same.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from vornaquill.selection_core import disjoint_winners_losers, population_posterior, select


@dataclass(frozen=True)
class Decision:
    winners: NDArray[np.int64]  # indices into the population, best first
    losers: NDArray[np.int64]  # worst first
    win_probability: NDArray[np.float64]  # (N,)
    lose_probability: NDArray[np.float64]  # (N,)


def quantile_size(n: int, quantile_fraction: float) -> int:
    """Ray's own sizes: ceil(n * fraction), at most n // 2, none below two trials."""
    if n < 2:
        return 0
    return min(math.ceil(n * quantile_fraction), n // 2)


PRIORS = (None, "population")


def shrink(
    mu: NDArray[np.float64], sigma2: NDArray[np.float64], prior: str | None
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """(mu, sigma2) as the selection sees them: unchanged without a prior; with "population", the
    empirical-Bayes posterior of each trial's means given the population's (non-finite trials stay
    as they are and take no part in the estimate)."""
    if prior is None:
        return mu, sigma2
    post = population_posterior(mu, sigma2)
    return post.mu, post.sigma2


def selection_seed(seed: int, number: int) -> int:
    """A 64-bit seed for selection `number` of a scheduler seeded with `seed`."""
    state = np.random.SeedSequence([seed, number]).generate_state(2, np.uint64)
    return int(state[0])


def decide(mu: NDArray[np.float64], sigma2: NDArray[np.float64], k: int, n_samples: int, seed: int) -> Decision:
    """k winners and k disjoint losers (2k <= N) of the minimisation problem (mu, sigma2)."""
    n = len(mu)
    # Streaming quantiles: only the counts and rank sums are used, so nothing is stored per sample.
    r = select(mu, sigma2, n_samples, k=k, seed=seed, ties="random", quantiles_mode_i=1)
    win_c, lose_c = (np.asarray(a, dtype=np.int64) for a in (r.win_count, r.lose_count))
    # Equal counts and rank sums are broken in a seeded order, not by position.
    tiebreak = np.random.default_rng(seed).permutation(n)
    winners, losers = disjoint_winners_losers(win_c, lose_c, r.rank_sum, k, tiebreak)
    return Decision(
        winners=winners,
        losers=losers,
        win_probability=win_c / n_samples,
        lose_probability=lose_c / n_samples,
    )
