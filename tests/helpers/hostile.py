"""Hostile inputs for the fuzz, leak and thread tests: matrices of every dtype and layout full of
special values, and scalars of every kind with what the argument conversion makes of them."""

import math
import warnings

import numpy as np
from hypothesis import strategies as st

# Matrices of every dtype and layout full of special values, scalars of every kind with what the
# argument conversion makes of them, and a check that a call left its inputs byte for byte as they were.
SPECIALS = [0.0, -0.0, 1.0, -1.0, 0.5, math.nan, math.inf, -math.inf, 1e308, -1e308, 5e-324, -5e-324,
            2.2250738585072014e-308, 1e-300, 3.0]

# What a failing scalar conversion may raise (exact messages are the surface tests' business).
CONVERSION_ERRORS = (TypeError, ValueError, OverflowError)


def _number_like(name, method):
    """A class whose instances hold a value and give it back through one conversion method."""
    return type(name, (), {"__init__": lambda self, v: setattr(self, "v", v), method: lambda self: self.v,
                           "__repr__": lambda self: f"{name}({self.v})"})


IntLike = _number_like("IntLike", "__int__")
IndexLike = _number_like("IndexLike", "__index__")  # a float, but not an integer for the kernels' parameters
FloatLike = _number_like("FloatLike", "__float__")


class Sub(np.ndarray):
    pass


# ---------------------------------------------------------------- matrices
@st.composite
def values(draw, shape):
    """float64 values of `shape`: a random base sprinkled with a palette of special values."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    base = draw(st.sampled_from(["normal", "integers", "constant", "wide"]))
    if base == "normal":
        A = rng.normal(size=shape)
    elif base == "integers":
        A = rng.integers(-2, 3, size=shape).astype(float)
    elif base == "constant":
        A = np.full(shape, draw(st.sampled_from(SPECIALS)))
    else:
        A = rng.normal(size=shape) * 10.0 ** rng.integers(-300, 300, size=shape)
    A = np.array(A, dtype=np.float64)  # 0-d results come back as scalars
    palette = draw(st.lists(st.sampled_from(SPECIALS), max_size=4))
    if palette and A.size:
        mask = rng.random(shape) < draw(st.floats(0.0, 1.0))
        A[mask] = rng.choice(np.array(palette), size=int(mask.sum()))
    return A


FORMS = ["c", "c", "c", "fortran", "strided", "reversed", "readonly", "readonly_strided", "subclass", "list",
         "unaligned", "big_endian", "float32", "int64", "int8", "bool", "object", "object_none", "object_floatlike",
         "object_str", "complex"]


def dress(A, form):
    """`A` (float64, 2-D or not) in another dtype or layout; values may change with the dtype."""
    if A.ndim == 0 and form not in ("list", "c"):
        form = "c"  # layouts and dtypes of a 0-d array add nothing
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if form == "c":
            return A
        if form == "fortran":
            return np.asfortranarray(A)
        if form in ("strided", "readonly_strided"):
            wide = A
            for axis in range(A.ndim):
                wide = np.repeat(wide, 2, axis=axis)
            out = wide[(slice(None, None, 2),) * A.ndim]
            if form == "readonly_strided":
                out.flags.writeable = False
            return out
        if form == "reversed":
            return np.flip(np.flip(A).copy())  # negative strides
        if form == "readonly":
            out = A.copy()
            out.flags.writeable = False
            return out
        if form == "subclass":
            return A.view(Sub)
        if form == "unaligned":  # C-contiguous float64 at an odd address, inside a byte buffer
            raw = bytearray(A.nbytes + 1)
            out = np.frombuffer(raw, dtype=np.float64, count=A.size, offset=1).reshape(A.shape)
            out[...] = A
            return out
        if form == "big_endian":
            return A.astype(">f8")
        if form == "list":
            return A.tolist()
        if form == "float32":
            return A.astype(np.float32)
        if form in ("int64", "int8"):
            return np.nan_to_num(A, posinf=7, neginf=-7).clip(-100, 100).astype(form)
        if form == "bool":
            return A > 0
        if form == "object":
            return A.astype(object)
        if form == "object_none":
            out = A.astype(object)
            if out.size:
                out.flat[0] = None
            return out
        if form == "object_floatlike":
            out = A.astype(object)
            for i in range(min(out.size, 3)):
                out.flat[i] = FloatLike(float(A.flat[i]))
            return out
        if form == "object_str":
            out = A.astype(object)
            if out.size:
                out.flat[out.size // 2] = "not a number"
            return out
        if form == "complex":
            return A.astype(complex)
    raise AssertionError(form)


@st.composite
def population(draw, max_n=200, max_m=5, odd_shapes=True):
    """(mu, sigma2) in any dtype and layout, mostly of one (N, M) shape; sometimes of different
    shapes, not two-dimensional, or not arrays at all."""
    N = draw(st.one_of(st.integers(0, 12), st.integers(0, max_n)))
    M = draw(st.integers(0, max_m))
    shape = (N, M)
    shape2 = shape
    if odd_shapes and draw(st.integers(0, 9)) == 0:
        shape = draw(st.sampled_from([(), (N,), (N, M, 2), (1, N, M)]))
    if odd_shapes and draw(st.integers(0, 9)) == 0:
        shape2 = (N + draw(st.sampled_from([-1, 1])), M) if draw(st.booleans()) else (N, M + 1)
        shape2 = (max(shape2[0], 0), shape2[1])
    mu = dress(draw(values(shape)), draw(st.sampled_from(FORMS)))
    s2 = draw(values(shape2))
    if draw(st.booleans()):
        s2 = np.abs(s2)  # mostly proper variances, sometimes negative or NaN ones
    s2 = dress(s2, draw(st.sampled_from(FORMS)))
    if odd_shapes and draw(st.integers(0, 29)) == 0:
        mu = draw(st.sampled_from([None, 3.5, "abc", [[1.0, 2.0], [3.0]], [[]]]))
    return mu, s2


# ---------------------------------------------------------------- scalars
# Each strategy yields (object, model): model is ("ok", converted value) or ("err", exception types).
I32, U64, I64 = (-(2**31), 2**31 - 1), (0, 2**64 - 1), (-(2**63), 2**63 - 1)


def _ranged(v, bounds):
    lo, hi = bounds
    return ("ok", v) if lo <= v <= hi else ("err", (OverflowError,))


INT_KINDS = ["int", "int", "int", "float", "np_int", "np_float", "intlike"]
FLOAT_KINDS = ["float", "float", "float", "int", "bool", "np_float", "floatlike", "indexlike"]


@st.composite
def int_scalar(draw, value, bounds, clean=False):
    """An integer parameter given as any kind of object; `value` draws the underlying integer.
    `clean` keeps to the kinds of object the conversion accepts."""
    v = draw(value)
    kind = draw(st.sampled_from(INT_KINDS if clean else INT_KINDS + ["bool", "indexlike", "none", "str", "nan",
                                                                      "inf"]))
    if kind == "int":
        return v, _ranged(v, bounds)
    if kind == "bool":
        return bool(v & 1), ("ok", v & 1)
    if kind == "float":
        f = float(v) + draw(st.sampled_from([0.0, 0.25, 0.75, -0.25]))
        return f, _ranged(int(f), bounds)
    if kind == "np_int":
        return (np.int64(v), _ranged(v, bounds)) if I64[0] <= v <= I64[1] else (v, _ranged(v, bounds))
    if kind == "np_float":
        return np.float64(v), _ranged(int(np.float64(v)), bounds)
    if kind == "intlike":
        return IntLike(v), _ranged(v, bounds)
    if kind == "nan":
        return math.nan, ("err", (ValueError,))
    if kind == "inf":
        return -math.inf, ("err", (OverflowError,))
    return {"indexlike": IndexLike(v), "none": None, "str": str(v)}[kind], ("err", (TypeError,))


@st.composite
def float_scalar(draw, value, clean=False):
    """A double parameter given as any kind of object."""
    v = draw(value)
    kind = draw(st.sampled_from(FLOAT_KINDS if clean else FLOAT_KINDS + ["none", "str", "huge_int"]))
    if kind == "float":
        return v, ("ok", v)
    if kind == "np_float":
        return np.float32(v) if abs(v) < 1e30 else np.float64(v), ("ok", float(np.float32(v)) if abs(v) < 1e30 else v)
    if kind == "floatlike":
        return FloatLike(v), ("ok", v)
    if kind in ("int", "indexlike", "bool"):
        n = int(v) if math.isfinite(v) else 0
        n = int(n != 0) if kind == "bool" else n
        return {"int": n, "indexlike": IndexLike(n), "bool": bool(n)}[kind], ("ok", float(n))
    if kind == "huge_int":
        return 2**1100, ("err", (OverflowError,))
    return {"none": None, "str": "0.5"}[kind], ("err", (TypeError,))


def any_floats():
    return st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.sampled_from(SPECIALS))


def percentiles():
    return st.one_of(st.floats(0.0, 1.0), st.sampled_from([1e-9, 1.0, 0.2, 0.07, 0.25, 5e-324, 1.0000000000000002,
                                                           0.0, -0.0, math.nan, math.inf, -0.5, 1.5]), any_floats())


def small_ints(lo, hi, *extremes):
    return st.one_of(st.integers(lo, hi), st.sampled_from(list(extremes)))


# ---------------------------------------------------------------- inputs left alone
def freeze(obj):
    """Something to compare with later: bytes, layout and flags of arrays, repr of the rest."""
    if isinstance(obj, np.ndarray):
        if obj.dtype == object:
            return ("object", obj.shape, obj.strides, obj.flags.writeable, repr(obj.tolist()))
        return (type(obj), obj.dtype, obj.shape, obj.strides, obj.flags.writeable, obj.tobytes(),
                obj.__array_interface__["data"][0])
    return repr(obj)


def coerced(obj):
    """What the kernels' input coercion makes of `obj`: a 2-D float64 array, or the exception."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            A = np.asarray(obj, dtype=np.float64)
    except Exception as e:  # noqa: BLE001 - the type is what the kernel must raise as well
        return e
    return A if A.ndim == 2 else ValueError("expected a 2D array")
