"""One selection: who is replaced (losers) and who may be cloned (winners) among N trials.

Inside a Pareto front the rating breaks ties by position; `select(..., ties="random")` presents every
Monte-Carlo sample's population in a fresh seeded order, so that no trial wins the ties of a whole
selection. Exactly k winners and k losers, disjoint (`disjoint_winners_losers`, the rule `select`
uses too). With the population prior, the winners come from a second selection on each objective's
means shrunk toward the population by their reliability, skipping the losers of the first
(`winners_beside`), as in `select(..., prior="population")`.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from vornaquill.selection_core import disjoint_winners_losers, population_posterior, select
from vornaquill.selection_core._disjoint import winners_beside


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


def selection_seed(seed: int, number: int) -> int:
    """A 64-bit seed for selection `number` of a scheduler seeded with `seed`."""
    state = np.random.SeedSequence([seed, number]).generate_state(2, np.uint64)
    return int(state[0])


def _counts(mu: NDArray[np.float64], sigma2: NDArray[np.float64], k: int, n_samples: int, seed: int
            ) -> tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.int64]]:
    # Streaming quantiles: only the counts and rank sums are used, so nothing is stored per sample.
    r = select(mu, sigma2, n_samples, k=k, seed=seed, ties="random", quantiles_mode_i=1)
    return np.asarray(r.win_count, dtype=np.int64), np.asarray(r.lose_count, dtype=np.int64), r.rank_sum


def decide(mu: NDArray[np.float64], sigma2: NDArray[np.float64], k: int, n_samples: int, seed: int,
           prior: str | None = None) -> Decision:
    """k winners and k disjoint losers (2k <= N) of the minimisation problem (mu, sigma2); with
    prior="population", the posterior's winners beside the observed values' losers."""
    n = len(mu)
    win_c, lose_c, rank_sum = _counts(mu, sigma2, k, n_samples, seed)
    # Equal counts and rank sums are broken in a seeded order, not by position.
    tiebreak = np.random.default_rng(seed).permutation(n)
    winners, losers = disjoint_winners_losers(win_c, lose_c, rank_sum, k, tiebreak)
    post = population_posterior(mu, sigma2) if prior is not None else None
    if post is not None and post.applied:  # non-finite trials stay as they are and take no part
        win_c, _, rank_sum = _counts(post.mu, post.sigma2, k, n_samples, seed)
        winners = winners_beside(win_c, rank_sum, losers, k, tiebreak)
    return Decision(
        winners=winners,
        losers=losers,
        win_probability=win_c / n_samples,
        lose_probability=lose_c / n_samples,
    )
