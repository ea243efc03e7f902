"""vornaquill: Monte-Carlo Pareto selection for population-based training under noisy metrics."""

__version__ = "0.1.0"
