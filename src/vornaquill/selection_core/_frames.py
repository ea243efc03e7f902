"""pandas glue. pandas is optional: a DataFrame is recognised by its type's module, without importing
pandas, and pandas is imported only to build `SelectionResult.to_frame()`."""

from __future__ import annotations

import importlib
from collections.abc import Hashable
from typing import Any

import numpy as np
from numpy.typing import NDArray

__all__ = ["frame_arrays", "is_frame", "long_frame", "require_pandas"]


def is_frame(obj: object) -> bool:
    """True for a pandas DataFrame (or a subclass), without importing pandas."""
    return any(c.__name__ == "DataFrame" and c.__module__.startswith("pandas")
               for c in type(obj).__mro__)


def require_pandas(feature: str) -> Any:
    try:
        return importlib.import_module("pandas")
    except ImportError:
        raise ImportError(f"{feature} needs pandas: pip install 'vornaquill[pandas]'") from None


def _numbers(frame: Any, what: str) -> NDArray[np.float64]:
    try:
        return np.ascontiguousarray(frame.to_numpy(dtype=np.float64))
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{what}: every column must be numeric ({exc})") from None


def frame_arrays(
    mu: Any, sigma2: Any
) -> tuple[NDArray[np.float64], NDArray[np.float64], list[str], list[str]]:
    """Means, variances, individual names (index) and objective names (columns) of two frames with
    the same index and columns in the same order."""
    if not (is_frame(mu) and is_frame(sigma2)):
        raise ValueError("mu and sigma2 must both be DataFrames or both be arrays")
    for axis in ("index", "columns"):
        a, b = getattr(mu, axis), getattr(sigma2, axis)
        if not a.equals(b):
            raise ValueError(
                f"mu and sigma2 must have the same {axis} in the same order "
                f"(mu: {list(a)[:5]}, sigma2: {list(b)[:5]}{', ...' if max(len(a), len(b)) > 5 else ''})"
            )
    names = [str(v) for v in mu.index]
    objectives = [str(v) for v in mu.columns]
    return _numbers(mu, "mu"), _numbers(sigma2, "sigma2"), names, objectives


def long_frame(frame: Any) -> tuple[list[Hashable], NDArray[np.float64], list[str]]:
    """Row labels, measurements and objective names of a long-format frame: the individual is the
    `name` column when there is one, else the row index; every other column is an objective."""
    if "name" in frame.columns:
        labels = frame["name"].tolist()
        values = frame.drop(columns="name")
    else:
        labels = frame.index.tolist()
        values = frame
    if values.shape[1] == 0:
        raise ValueError("replicates: the DataFrame has no objective columns")
    return labels, _numbers(values, "replicates"), [str(c) for c in values.columns]
