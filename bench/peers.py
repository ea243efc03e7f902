"""Rating one population with each library a Python user could pick, on identical inputs.

Every entry maps a name to a factory: factory(X) prepares whatever the library needs outside the
timed region and returns a zero-argument callable that does the rating. A library that is not
installed is reported with the reason instead of a factory.
"""

import numpy as np

from vornaquill.pareto_core import rate_population


def ours(X):
    """Fronts, crowding and the global order (default average-rank mode)."""
    return lambda: rate_population(X)


def _moocore():
    import moocore

    def factory(X):
        """Fronts only."""
        return lambda: moocore.pareto_rank(X)

    return factory


def _pygmo():
    import pygmo

    def factory(X):
        """Fronts, crowding and the order: the same output as ours."""
        return lambda: pygmo.sort_population_mo(X)

    return factory


def _pymoo():
    from pymoo.operators.survival.rank_and_crowding.metrics import calc_crowding_distance
    from pymoo.util.nds.non_dominated_sorting import NonDominatedSorting

    nds = NonDominatedSorting()

    def factory(X):
        """Rank-and-crowding survival: fronts, then crowding distance per front."""

        def run():
            fronts = nds.do(X)
            crowd = np.empty(len(X))
            for f in fronts:
                crowd[f] = calc_crowding_distance(X[f])
            return fronts, crowd

        return run

    return factory


def _deap():
    from deap import base, creator, tools

    def factory(X):
        """sortLogNondominated (all fronts) plus assignCrowdingDist per front. The individuals
        with their fitnesses are built outside the timed region, as a DEAP user already has them."""
        M = X.shape[1]
        name = f"VqBenchFitness{M}"
        if not hasattr(creator, name):
            creator.create(name, base.Fitness, weights=(-1.0,) * M)
            creator.create(f"VqBenchIndividual{M}", list, fitness=getattr(creator, name))
        cls = getattr(creator, f"VqBenchIndividual{M}")
        pop = [cls(row) for row in X.tolist()]
        for ind in pop:
            ind.fitness.values = tuple(ind)

        def run():
            fronts = tools.sortLogNondominated(pop, len(pop))
            for f in fronts:
                tools.emo.assignCrowdingDist(f)
            return fronts

        return run

    return factory


def load_peers():
    """(available, missing): name -> factory, and name -> reason."""
    available, missing = {}, {}
    for name, loader in [("moocore", _moocore), ("pygmo", _pygmo), ("pymoo", _pymoo), ("deap", _deap)]:
        try:
            available[name] = loader()
        except Exception as e:  # noqa: BLE001 - not installed, or no build for this platform
            missing[name] = f"{type(e).__name__}: {e}"
    return available, missing
