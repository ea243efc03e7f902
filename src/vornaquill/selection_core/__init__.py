"""Monte-Carlo Pareto selection for population-based training under noisy metrics.

`select` returns a named `SelectionResult`; `from_replicates` turns repeated measurements into means
and variances (`pooled_variance` is its rule for individuals measured once); `percentile_for_k`
gives the percentile that selects exactly k individuals; `disjoint_winners_losers` is the rule
that keeps winners and losers apart; `population_posterior` is the empirical-Bayes
shrinkage behind `select(..., prior="population")`. The three kernels `mc_rank_counts`,
`mc_rank_select` and `mc_rank_select_detailed` return plain tuples; the module
`vornaquill.selection_core.parallel` has them with the sampling on several threads (`counts`,
`select`, `select_detailed`). The command-line tool is
`python -m vornaquill.selection_core` (installed as `vornaquill-select`).
"""

from ._disjoint import disjoint_winners_losers
from ._mc_rank import mc_rank_counts, mc_rank_select, mc_rank_select_detailed
from ._prior import Posterior, population_posterior
from ._replicates import from_replicates, pooled_variance
from ._result import MetricStats, SelectionResult
from ._select import percentile_for_k, select

__all__ = [
    "MetricStats",
    "Posterior",
    "SelectionResult",
    "disjoint_winners_losers",
    "from_replicates",
    "mc_rank_counts",
    "mc_rank_select",
    "mc_rank_select_detailed",
    "percentile_for_k",
    "pooled_variance",
    "population_posterior",
    "select",
]
