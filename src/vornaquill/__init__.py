"""vornaquill: Monte-Carlo Pareto selection for population-based training under noisy metrics.

The main names are importable from here: `select` (returning a `SelectionResult`),
`from_replicates`, `population_posterior` (from `vornaquill.selection_core`) and `rate_population`
(from `vornaquill.pareto_core`). They are imported on first use, so that `import vornaquill` (and
`vornaquill.ray_tune`, which imports it) stays cheap: the first use loads NumPy and the extensions.
"""

from __future__ import annotations

import importlib

__version__ = "0.1.0"

TYPE_CHECKING = False  # not `typing`'s: importing typing would double the cost of `import vornaquill`
if TYPE_CHECKING:
    from typing import Any

    from .pareto_core import rate_population
    from .selection_core import SelectionResult, from_replicates, population_posterior, select

# Each main name and the public subpackage that defines it, imported on first use.
_HOMES = {"SelectionResult": "selection_core", "from_replicates": "selection_core",
          "population_posterior": "selection_core", "rate_population": "pareto_core", "select": "selection_core"}
__all__ = ["SelectionResult", "__version__", "from_replicates", "population_posterior", "rate_population", "select"]


def __getattr__(name: str) -> Any:
    if name in _HOMES:
        return getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *_HOMES})
