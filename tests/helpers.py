"""Helpers shared by the test folders (fixtures live in conftest.py): fresh interpreters and
snapshots of inputs, a pure-Python model of the kernels' random stream, a brute-force model of the
rating rules, the rating component's C-level entry called through ctypes, and hostile inputs for
the fuzz, leak and thread tests."""

import ctypes as C
import math
import os
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path

import numpy as np
from hypothesis import strategies as st

import vornaquill.pareto_core._pareto_rating_cy as rating_module

ROOT = Path(__file__).resolve().parents[1]  # the repository


# ================================================================ fresh interpreters, snapshots
def run_python(code, check=True):
    """Run `code` in a fresh interpreter; returns the completed process (text output)."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


def snapshot(*arrays):
    """Byte copies of arrays, to check later that a call left them untouched."""
    return [(a, np.array(a, copy=True)) for a in arrays]


def assert_unchanged(snap):
    for arr, copy in snap:
        assert arr.dtype == copy.dtype and arr.shape == copy.shape
        assert arr.tobytes() == copy.tobytes()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# ================================================================ the kernels' random stream
# SplitMix64 seeding, xoshiro256**, Box-Muller deviates with a cached spare, and the population
# sampling rule.
MASK = (1 << 64) - 1


def _rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & MASK


class Xoshiro:
    def __init__(self, seed):
        sm = seed & MASK
        words = []
        for _ in range(4):
            sm = (sm + 0x9E3779B97F4A7C15) & MASK
            z = sm
            z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
            z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
            words.append(z ^ (z >> 31))
        self.s = words
        self.has_spare = 0
        self.spare = 0.0

    def next_u64(self):
        s0, s1, s2, s3 = self.s
        result = (_rotl((s1 * 5) & MASK, 7) * 9) & MASK
        t = (s1 << 17) & MASK
        s2 ^= s0
        s3 ^= s1
        s1 ^= s2
        s0 ^= s3
        s2 ^= t
        s3 = _rotl(s3, 45)
        self.s = [s0, s1, s2, s3]
        return result

    def u01(self):
        return float(self.next_u64() >> 11) * 1.1102230246251565e-16

    def randn(self):
        if self.has_spare:
            self.has_spare = 0
            return self.spare
        u1 = self.u01()
        u2 = self.u01()
        if u1 < 1e-300:
            u1 = 1e-300
        r = math.sqrt(-2.0 * math.log(u1))
        theta = 6.283185307179586 * u2
        self.spare = r * math.sin(theta)
        self.has_spare = 1
        return r * math.cos(theta)


def sigma_of(sigma2):
    return [[0.0 if v <= 0.0 else math.sqrt(v) for v in row] for row in sigma2]


def noisy_population(seed, n, nan_at, spread):
    """(mu, sigma2) of n individuals and three objectives, with one NaN mean at `nan_at`."""
    rng = np.random.default_rng(seed)
    mu = rng.normal(size=(n, 3))
    mu[nan_at] = np.nan
    return mu, rng.uniform(0.0, spread, size=(n, 3))


def sample_populations(mu, sigma2, n_samples, seed=0):
    """The X matrices a kernel hands to the rating component, one per sample."""
    gen = Xoshiro(seed)
    sigma = sigma_of(sigma2)
    out = []
    for _ in range(n_samples):
        X = []
        for mrow, srow in zip(mu, sigma):
            row = []
            for m, s in zip(mrow, srow):
                row.append(m if s == 0.0 else m + s * gen.randn())
            X.append(row)
        out.append(X)
    return out


# ================================================================ the rating rules, brute force
INF = math.inf


def less(a, b):
    """a strictly before b: numbers by value, NaN after every number, NaNs equal."""
    if math.isnan(a):
        return False
    return math.isnan(b) or a < b


def sort_key(v):
    return (1, 0.0) if math.isnan(v) else (0, v)


def dominates(a, b):
    return all(not less(y, x) for x, y in zip(a, b)) and any(less(x, y) for x, y in zip(a, b))


def average_ranks(rows, M):
    N = len(rows)
    R = [[0.0] * M for _ in range(N)]
    for m in range(M):
        idx = sorted(range(N), key=lambda i: (sort_key(rows[i][m]), i))
        p = 0
        while p < N:
            q = p
            while q + 1 < N and not less(rows[idx[p]][m], rows[idx[q + 1]][m]):
                q += 1
            for j in range(p, q + 1):
                R[idx[j]][m] = (p + q) / 2
            p = q + 1
    return R


def fronts_by_peeling(W):
    N = len(W)
    front = [None] * N
    left = set(range(N))
    f = 0
    while left:
        layer = [i for i in left if not any(dominates(W[j], W[i]) for j in left if j != i)]
        for i in layer:
            front[i] = f
        left -= set(layer)
        f += 1
    return front, f


def crowding(W, members, M, score):
    n = len(members)
    if n <= 2:
        for i in members:
            score[i] = INF
        return
    for i in members:
        score[i] = 0.0
    for m in range(M):
        lst = sorted(members, key=lambda i: (sort_key(W[i][m]), i))
        score[lst[0]] = INF
        score[lst[-1]] = INF
        span = W[lst[-1]][m] - W[lst[0]][m]
        if not (math.isfinite(span) and span > 0.0):
            continue
        for j in range(1, n - 1):
            score[lst[j]] += (W[lst[j + 1]][m] - W[lst[j - 1]][m]) / span


def rating_model(X, mode_i):
    N, M = X.shape
    rows = [[float(v) for v in r] for r in X]
    W = rows if mode_i == 0 else average_ranks(rows, M)
    front, n_fronts = fronts_by_peeling(W)
    score = [None] * N
    for f in range(n_fronts):
        crowding(W, [i for i in range(N) if front[i] == f], M, score)
    order = sorted(range(N), key=lambda i: (front[i], -score[i], i))
    return front, score, order, n_fronts


# ---------------------------------------------------------------- random populations to rate
SPECIAL = [math.nan, INF, -INF, 0.0, -0.0, 1.0, -1.0, 2.0, 1e308, -1e308, 5e-324]


def rating_population(rng, N, M, kind):
    if kind == "special":
        X = rng.choice(np.array(SPECIAL), size=(N, M))
    elif kind == "grid":  # few distinct values: many ties and duplicate rows
        X = rng.integers(0, 3, size=(N, M)).astype(float)
    elif kind == "front":  # points on or near one anti-correlated front, some duplicated
        t = rng.random(N)
        X = np.column_stack([t if m % 2 == 0 else 1.0 - t for m in range(M)]) if M else np.empty((N, 0))
        X = X + rng.normal(scale=0.05, size=(N, M)) * (rng.random((N, 1)) < 0.5)
    else:
        X = rng.normal(size=(N, M))
    if N > 1:  # copy some rows onto others
        src = rng.integers(0, N, size=N // 4)
        dst = rng.integers(0, N, size=N // 4)
        X[dst] = X[src]
    return np.ascontiguousarray(X)


# ================================================================ the rating component's C entry
class Slice(C.Structure):
    _fields_ = [("memview", C.c_void_p), ("data", C.c_void_p), ("shape", C.c_ssize_t * 8),
                ("strides", C.c_ssize_t * 8), ("suboffsets", C.c_ssize_t * 8)]


PAIR = np.dtype([("val", "f8"), ("idx", "i4")], align=True)
KEY = np.dtype([("front", "i8"), ("neg_score", "f8"), ("idx", "i8")], align=True)
assert PAIR.itemsize == 16 and KEY.itemsize == 24

RATE = C.CFUNCTYPE(C.c_int, Slice, C.c_int, C.c_int, *[Slice] * 9, C.c_void_p, C.c_void_p, Slice)


def c_function(module):
    capsule = module.__pyx_capi__["rate_population_inplace"]
    C.pythonapi.PyCapsule_GetName.restype = C.c_char_p
    C.pythonapi.PyCapsule_GetName.argtypes = [C.py_object]
    C.pythonapi.PyCapsule_GetPointer.restype = C.c_void_p
    C.pythonapi.PyCapsule_GetPointer.argtypes = [C.py_object, C.c_char_p]
    name = C.pythonapi.PyCapsule_GetName(capsule)
    return RATE(C.pythonapi.PyCapsule_GetPointer(capsule, name))


RATE_INPLACE = c_function(rating_module)


def as_slice(a):
    s = Slice()
    s.data = a.ctypes.data if a.size else None
    for d in range(8):
        s.suboffsets[d] = -1
    for d in range(a.ndim):
        s.shape[d] = a.shape[d]
        s.strides[d] = a.strides[d]
    return s


GUARD = 7  # elements of sentinel on each side of every buffer
RECORDS = {"Pair": PAIR, "OrderKey": KEY}


def buffer_table(N, M):
    """{name: (shape, dtype)} of every buffer but X, from the one table both extensions use."""
    from vornaquill._testing import _native_probe as probe  # test build only

    return {name: (shape, RECORDS.get(elem, elem)) for name, elem, shape in probe.rating_buffers(N, M)
            if name != "X"}


class Buffers:
    """The kernel's buffers, each cut from the middle of a larger block filled with a sentinel so
    that a write outside a buffer shows up, and filled with garbage like reused buffers."""

    def __init__(self, X, rng, shapes=None):
        N, M = X.shape
        shapes = dict(shapes or {})
        self.blocks, self.arrays = {}, {}
        for name, (shape, dtype) in buffer_table(N, M).items():
            shape = shapes.get(name, shape)
            size, item = int(np.prod(shape)), np.dtype(dtype).itemsize
            block = np.frombuffer(bytearray(rng.bytes((size + 2 * GUARD) * item)), dtype=np.uint8)
            self.blocks[name] = block  # raw bytes: record padding counts too
            self.arrays[name] = block[GUARD * item:(GUARD + size) * item].view(dtype).reshape(shape)
        self.arrays["X"] = X
        self.pristine = {k: b.copy() for k, b in self.blocks.items()}

    def call(self, mode_i=1, within_mode_i=0, **replace):
        a = {**self.arrays, **replace}
        sl = {k: as_slice(v) for k, v in a.items() if k not in ("pairs", "keys")}
        return RATE_INPLACE(sl["X"], mode_i, within_mode_i, sl["front_id"], sl["within"], sl["order"],
                            sl["offsets"], sl["items"], sl["dom"], sl["n_dom"], sl["cur"], sl["nxt"],
                            a["pairs"].ctypes.data if a["pairs"] is not None else None,
                            a["keys"].ctypes.data if a["keys"] is not None else None, sl["R"])

    def guards_intact(self):
        def margins(name, block):
            n = GUARD * self.arrays[name].itemsize
            return block[:n].tobytes() + block[len(block) - n:].tobytes()

        return all(margins(k, b) == margins(k, self.pristine[k]) for k, b in self.blocks.items())

    def outputs_unchanged(self):
        return all(self.blocks[k].tobytes() == self.pristine[k].tobytes() for k in ("front_id", "within", "order"))


# ================================================================ hostile inputs
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
