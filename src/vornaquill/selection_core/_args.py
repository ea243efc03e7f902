"""Input rules shared by `select`, `from_replicates` and the command-line tool.

Counts, seeds and thread numbers are integral: `int` and NumPy integers (anything with
`__index__`); bool and floats are refused, so that 2.7 samples never silently become 2. Each has
one range (`RANGES`), refused outside with a ValueError naming the argument and the range, never
a conversion error of the interpreter or a message that names no argument. Arrays of
measurements are real numbers: complex and masked arrays are refused rather than cast (which would
drop the imaginary part or the mask). A variance is a finite number >= 0. An individual or
objective is named in messages by its name when it has one, else by its 0-based index.
"""

from __future__ import annotations

import operator
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ._defaults import SAMPLES_LIMIT
from ._parallel import MAX_THREADS

__all__ = ["RANGES", "argument", "check_variances", "integer", "label", "real_array"]

_INT32 = (-(2**31), 2**31 - 1)

#: Inclusive range of each integer argument of `select` and the command line: what the kernels
#: can take (32-bit counts and codes, a 64-bit budget, an unsigned 64-bit seed) or mean.
RANGES: dict[str, tuple[int, int]] = {
    "n_samples": (1, SAMPLES_LIMIT),
    "max_samples": (1, SAMPLES_LIMIT),
    "k": (1, _INT32[1]),
    "seed": (0, 2**64 - 1),
    "threads": (0, MAX_THREADS),
    "quantiles_mode_i": _INT32,
    "quantiles_budget": (-(2**63), 2**63 - 1),
}


def integer(value: Any, name: str, lo: int | None = None, hi: int | None = None) -> int:
    """`value` as an int, within [lo, hi] when given. TypeError for bool and non-integral values,
    ValueError outside the bounds; both messages start with `name` (left out when empty)."""
    prefix = f"{name} " if name else ""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{prefix}must be an integer, not a bool ({value!r})")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{prefix}must be an integer, got {type(value).__name__} {value!r}") from None
    if lo is not None and hi is not None and not lo <= number <= hi:
        raise ValueError(f"{prefix}must be between {lo} and {hi} (got {number})")
    if lo is not None and number < lo:
        raise ValueError(f"{prefix}must be {'> 0' if lo == 1 else f'>= {lo}'} (got {number})")
    if hi is not None and number > hi:
        raise ValueError(f"{prefix}must be <= {hi} (got {number})")
    return number


def argument(value: Any, name: str) -> int:
    """The integer argument `name` (a key of `RANGES`), checked against its range."""
    return integer(value, name, *RANGES[name])


def real_array(obj: Any, what: str) -> NDArray[np.float64]:
    """`obj` as a float64 array; masked and complex arrays are refused with a message naming `what`."""
    if isinstance(obj, np.ma.MaskedArray):
        raise TypeError(f"{what}: masked arrays are not supported; write NaN for a missing value "
                        "(for example values.filled(np.nan))")
    arr = np.asarray(obj)
    if arr.dtype.kind == "c":
        raise TypeError(f"{what}: complex values are not supported (got dtype {arr.dtype})")
    if arr.dtype.kind == "O" and any(isinstance(v, complex) for v in arr.flat):
        raise TypeError(f"{what}: complex values are not supported")
    return np.asarray(arr, dtype=np.float64)


def label(kind: str, names: Sequence[str] | None, index: int) -> str:
    """"objective 'loss'" when the objectives have names, else "objective 2"."""
    return f"{kind} {names[index]!r}" if names is not None else f"{kind} {index}"


def check_variances(sigma2: NDArray[np.float64], where: Callable[[int, int], str],
                    error: type[Exception] = ValueError) -> None:
    """Variances must be finite numbers >= 0 (0 means no noise); the first bad one raises `error`
    with `where(i, m)` naming its place."""
    bad = np.argwhere(~(np.isfinite(sigma2) & (sigma2 >= 0.0)))
    if bad.size:
        i, m = (int(v) for v in bad[0])
        raise error(f"{where(i, m)}: variance must be a finite number >= 0 (got {float(sigma2[i, m])!r})")
