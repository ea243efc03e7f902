"""Monte-Carlo Pareto selection kernels."""

from ._mc_rank import mc_rank_counts, mc_rank_select, mc_rank_select_detailed

__all__ = ["mc_rank_counts", "mc_rank_select", "mc_rank_select_detailed"]
