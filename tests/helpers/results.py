"""Results compared bit for bit, and the populations the selection tests share."""

import dataclasses

import numpy as np


def first_difference(a, b, path="result"):
    """Where `a` and `b` first differ, or None when they are the same bit for bit: the same types;
    tuples, lists and dicts (keys in order) of the same items; arrays of the same dtype, shape and
    bytes; dataclasses (a `SelectionResult`) field by field; exceptions of one type and message."""
    if type(a) is not type(b):
        return f"{path}: {type(a).__name__} != {type(b).__name__}"
    if dataclasses.is_dataclass(a):
        a, b = ({f.name: getattr(x, f.name) for f in dataclasses.fields(x)} for x in (a, b))
    if isinstance(a, BaseException):
        same = str(a) == str(b)
    elif isinstance(a, dict):
        if list(a) != list(b):
            return f"{path}: keys {list(a)} != {list(b)}"
        return next(filter(None, (first_difference(a[k], b[k], f"{path}[{k!r}]") for k in a)), None)
    elif isinstance(a, (tuple, list)):
        if len(a) != len(b):
            return f"{path}: length {len(a)} != {len(b)}"
        return next(filter(None, (first_difference(x, y, f"{path}[{i}]") for i, (x, y) in enumerate(zip(a, b)))),
                    None)
    elif isinstance(a, np.ndarray):
        same = a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
    else:
        same = a == b
    return None if same else f"{path}: {a!r} != {b!r}"


def assert_same_result(a, b):
    """`a` and `b` are the same bit for bit (see `first_difference`)."""
    difference = first_difference(a, b)
    assert difference is None, difference


def noisy_population(seed, n, nan_at, spread):
    """(mu, sigma2) of n individuals and three objectives, with one NaN mean at `nan_at`."""
    rng = np.random.default_rng(seed)
    mu = rng.normal(size=(n, 3))
    mu[nan_at] = np.nan
    return mu, rng.uniform(0.0, spread, size=(n, 3))


def patterned_population(n, m, pattern, seed=3):
    """(mu, sigma2) of n individuals and m objectives whose variances draw in a given pattern."""
    rng = np.random.default_rng(seed)
    mu, s2 = rng.normal(size=(n, m)), rng.uniform(0.1, 2.0, size=(n, m))
    if s2.size == 0:
        pass
    elif pattern == "zeros":  # an odd number of drawing elements moves the spare across samples
        s2[rng.uniform(size=(n, m)) < 0.4] = 0.0
        s2.flat[-1] = 0.0 if np.count_nonzero(s2) % 2 else 1.0
    elif pattern == "nan":  # NaN variances draw; negative ones do not
        s2.flat[::3], s2.flat[1::5] = np.nan, -1.0
    elif pattern == "one":  # a single drawing element: every other sample starts on the spare
        s2[:] = 0.0
        s2[n // 2, 0] = 1.0
    return mu, s2
