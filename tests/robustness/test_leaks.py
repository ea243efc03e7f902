"""Long runs of every function over varied inputs and every error path: the interpreter's count of
allocated blocks and the resident size do not grow, and the reference counts of the inputs and of
the objects the kernels look up on every call (NumPy's functions, dtypes and types) end as they began.

VORNAQUILL_LEAK_CALLS sets the calls per function (default 20000)."""

import copy
import ctypes
import gc
import os
import pickle
import sys
import warnings
import weakref

import numpy as np
import pytest

from helpers.hostile import FloatLike, IntLike, Sub
from helpers.process import resident_bytes
from vornaquill.pareto_core import rate_population
from vornaquill.selection_core import _mc_rank as m

CALLS = int(os.environ.get("VORNAQUILL_LEAK_CALLS", "20000"))
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
# A leak of one small object per call would add CALLS blocks; caches NumPy fills on first use
# (dtype promotion, ufunc dispatch) stay far below this.
BLOCK_SLACK = 500
RSS_SLACK = 4 << 20
HEAP_SLACK = 256 << 10


class IntReturnsStr:
    def __int__(self):
        return "3"


class FloatRaises:
    def __float__(self):
        raise ZeroDivisionError("from __float__")


class ArrayRaises:
    def __array__(self, dtype=None, copy=None):
        raise RuntimeError("from __array__")


rng = np.random.default_rng(7)
MU = rng.normal(size=(9, 3))
S2 = rng.uniform(0.0, 1.0, size=(9, 3))
MU_F = np.asfortranarray(MU)
MU_RO = MU.copy()
MU_RO.flags.writeable = False
MU_SUB = MU.view(Sub)
MU_LIST = MU.tolist()
MU_INT = (MU * 3).astype(np.int32)
MU_1 = MU[:1]
MU_0 = np.zeros((0, 3))
MU_M0 = np.zeros((9, 0))
MU_C = MU.astype(complex)
INT_LIKE, INT_BAD, FLOAT_LIKE, FLOAT_BAD, ARRAY_BAD = IntLike(4), IntReturnsStr(), FloatLike(0.3), FloatRaises(), \
    ArrayRaises()

# (args, kwargs, exception or None); shared by the three kernels
COMMON = [
    ((MU, S2, 4), {}, None),
    ((MU_F, S2.tolist(), 3), {"percentile": 1.0, "seed": 2**64 - 1}, None),
    ((MU_RO, S2, INT_LIKE), {"percentile": FLOAT_LIKE, "mode_i": 0}, None),
    ((MU_SUB, S2, 2.7), {"percentile": 1e-9}, None),
    ((MU_LIST, S2, 3), {"seed": 5, "mode_i": True}, None),
    ((MU_INT, -S2, 3), {}, None),
    ((MU_1, S2[:1], 5), {}, None),
    ((MU_0, MU_0, 0), {"percentile": 5.0}, None),
    ((MU_M0, MU_M0, 3), {}, None),
    # binding and conversion
    ((MU,), {}, TypeError),
    ((MU, S2), {"seed": 1}, TypeError),
    ((MU, S2, 3, 0.2, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0), {}, TypeError),
    ((MU, S2, 3), {"bogus": 1}, TypeError),
    ((MU, S2, 3), {"n_samples": 1}, TypeError),
    ((MU, S2, "3"), {}, TypeError),
    ((MU, S2, None), {}, TypeError),
    ((MU, S2, INT_BAD), {}, TypeError),
    ((MU, S2, 2**31), {}, OverflowError),
    ((MU, S2, 3), {"seed": -1}, OverflowError),
    ((MU, S2, 3), {"seed": 2**64}, OverflowError),
    ((MU, S2, 3), {"percentile": "0.2"}, TypeError),
    ((MU, S2, 3), {"percentile": FLOAT_BAD}, ZeroDivisionError),
    ((MU, S2, 3), {"mode_i": 2**40}, OverflowError),
    # input coercion and checks
    ((None, S2, 3), {}, ValueError),
    ((MU, MU[0], 3), {}, ValueError),
    ((MU, [[1.0, 2.0], [3.0]], 3), {}, ValueError),
    ((np.array([["a", "b", "c"]] * 9), S2, 3), {}, ValueError),
    ((MU_C, S2, 3), {}, getattr(np, "exceptions", np).ComplexWarning),
    ((ARRAY_BAD, S2, 3), {}, RuntimeError),
    ((MU, ARRAY_BAD, 3), {}, RuntimeError),
    ((MU, S2[:5], 3), {}, ValueError),
    ((MU, S2, 0), {}, ValueError),
    ((MU, S2, -5), {}, ValueError),
    ((MU, S2, 3), {"percentile": 0.0}, ValueError),
    ((MU, S2, 3), {"percentile": 1.5}, ValueError),
    ((MU, S2, 3), {"percentile": float("nan")}, ValueError),
    # errors reported by the rating component inside the sampling loop
    ((MU, S2, 3), {"mode_i": 2}, ValueError),
    ((MU, S2, 3), {"within_mode_i": 1}, ValueError),
]

DETAILED_ONLY = [
    ((MU, S2, 40), {"quantiles_mode_i": 1, "quality_sign": 1.0}, None),
    ((MU, S2, 6), {"quantiles_mode_i": 0, "quality_w_place": float("inf")}, None),
    ((MU, S2, 8), {"quantiles_budget": -1, "quality_w_front": FLOAT_LIKE}, None),
    ((MU, S2, 3), {"quantiles_budget": 2**63}, OverflowError),
    ((MU, S2, 3), {"quality_w_within": None}, TypeError),
    # exact buffers of tens of terabytes: everything made before them must be released
    ((np.zeros((2000, 1)), np.ones((2000, 1)), 2**31 - 1), {"quantiles_mode_i": 0}, MemoryError),
]

RATING = [
    ((MU,), {}, None),
    ((MU_F,), {"mode_i": 0}, None),
    ((MU_LIST,), {"mode_i": 1, "within_mode_i": 0}, None),
    ((MU_0,), {}, None),
    ((MU_M0,), {}, None),
    ((np.where(MU > 0, np.nan, MU),), {}, None),
    ((MU,), {"mode_i": 2}, ValueError),
    ((MU,), {"within_mode_i": 1}, ValueError),
    ((MU[0],), {}, ValueError),
    ((None,), {}, ValueError),
    ((ARRAY_BAD,), {}, RuntimeError),
    ((MU,), {"mode_i": "1"}, TypeError),
    ((MU,), {"mode_i": 2**40}, OverflowError),
    ((), {}, TypeError),
]

def function_protocols(f):
    """What pickle, copy and weak references do with a kernel function."""
    return pickle.loads(pickle.dumps(f)), copy.copy(f), copy.deepcopy(f), weakref.ref(f)()


FUNCTIONS = {
    "mc_rank_counts": (m.mc_rank_counts, COMMON),
    "mc_rank_select": (m.mc_rank_select, COMMON),
    "mc_rank_select_detailed": (m.mc_rank_select_detailed, COMMON + DETAILED_ONLY),
    "rate_population": (rate_population, RATING),
    "function_protocols": (function_protocols, [((f,), {}, None) for f in (m.mc_rank_counts, m.mc_rank_select)]),
}


def watched_objects(cases):
    """Everything whose reference count a leak or a missing reference would move."""
    objs = [m, m.np, np.ndarray, Sub, m.mc_rank_counts, m.mc_rank_select, m.mc_rank_select_detailed]
    objs += [getattr(np, name) for name in ("asarray", "ascontiguousarray", "empty", "zeros", "arange", "ceil",
                                            "lexsort", "median", "quantile", "float64", "int64", "int32", "uint8")]
    objs += [np.dtype(t) for t in ("float64", "int64", "int32", "uint8")]
    for args, kwargs, _ in cases:
        objs += [a for a in args if not isinstance(a, (int, float, str, type(None)))]
        objs += [v for v in kwargs.values() if not isinstance(v, (int, float, str, type(None)))]
    unique = {id(o): o for o in objs}
    return list(unique.values())


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                                      "fsmblks", "uordblks", "fordblks", "keepcost")]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = MallInfo2
except AttributeError:  # not glibc, or older than 2.33
    _mallinfo2 = None


def heap_bytes():
    """Bytes of the C heap in use (small blocks and mapped ones), or 0 where unknown. Catches a
    scratch block that is never freed, which the resident size hides in its page granularity."""
    if _mallinfo2 is None or UNDER_ASAN:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def run(fn, cases, n_calls):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for i in range(n_calls):
            args, kwargs, exc = cases[i % len(cases)]
            if exc is None:
                fn(*args, **kwargs)
            else:
                try:
                    fn(*args, **kwargs)
                except exc:
                    pass
                else:
                    raise AssertionError(f"{fn.__name__}{args, kwargs} did not raise {exc.__name__}")


def measure(fn, cases, n_calls):
    """Reference counts that moved, and the growth of allocated blocks, heap and resident size."""
    objs = watched_objects(cases)
    run(fn, cases, 3 * len(cases))  # first-use caches of NumPy and the interpreter
    gc.collect()
    refs = [sys.getrefcount(o) for o in objs]
    blocks, heap, rss = sys.getallocatedblocks(), heap_bytes(), resident_bytes()
    run(fn, cases, n_calls)
    gc.collect()
    after_refs = [sys.getrefcount(o) for o in objs]
    moved = [(repr(o)[:60], a - b) for o, a, b in zip(objs, after_refs, refs) if a != b]
    return moved, sys.getallocatedblocks() - blocks, heap_bytes() - heap, resident_bytes() - rss


def check_growth(moved, blocks, heap, rss):
    assert moved == []
    assert blocks < BLOCK_SLACK
    assert heap < HEAP_SLACK
    if not UNDER_ASAN:  # the sanitizer keeps freed memory in quarantine
        assert rss < RSS_SLACK


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_repeated_calls_leak_nothing(name):
    fn, cases = FUNCTIONS[name]
    growth = measure(fn, cases, CALLS)
    print(f"\n{name}: {CALLS} calls over {len(cases)} cases; growth: blocks {growth[1]:+d}, "
          f"heap {growth[2] / 1e3:+.1f} kB, resident {growth[3] / 1e6:+.2f} MB (now {resident_bytes() / 1e6:.1f} MB)")
    check_growth(*growth)


@pytest.mark.parametrize("fn", [m.mc_rank_counts, m.mc_rank_select_detailed])
def test_rating_failure_in_the_middle_of_the_loop_leaks_nothing(stub_rank, fn):
    stub, module = stub_rank
    fn = getattr(module, fn.__name__)

    def failing(*args, **kwargs):
        stub.configure(fail_at=3, fail_code=-7)  # also clears the stand-in's records
        return fn(*args, **kwargs)

    failing.__name__ = fn.__name__
    cases = [((MU, S2, 10), {}, ValueError), ((MU, S2, 10), {"percentile": 1.0}, ValueError)]
    check_growth(*measure(failing, cases, CALLS // 4))
