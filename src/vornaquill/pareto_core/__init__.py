"""Pareto rating of sampled populations (fronts, crowding distance, global order)."""

from ._pareto_rating_cy import rate_population

__all__ = ["rate_population"]
