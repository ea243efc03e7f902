"""The C-level entry of the rating component, called through its capsule the way the sampling
kernels call it: error codes and their order, buffer checks, nothing written on error or outside
the buffers, and no reliance on the contents of reused work buffers."""

import ctypes as C

import numpy as np
import pytest

import vornaquill.pareto_core._pareto_rating_cy as rating_module
from vornaquill.pareto_core import rate_population


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
probe = pytest.importorskip("vornaquill._testing._native_probe")


def buffer_table(N, M):
    """{name: (shape, dtype)} of every buffer but X, from the one table both extensions use."""
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


def populations(rng):
    for N, M in [(0, 0), (0, 2), (1, 0), (1, 3), (2, 2), (3, 0), (9, 1), (40, 2), (40, 3), (70, 5), (300, 2),
                 (300, 3), (600, 4)]:
        X = rng.integers(0, 4, size=(N, M)).astype(float)
        X[rng.random((N, M)) < 0.1] = np.nan
        yield X


@pytest.mark.parametrize("mode_i", [0, 1])
def test_reused_dirty_buffers_give_the_python_entry_results(mode_i):
    rng = np.random.default_rng(mode_i)
    for X in populations(rng):
        buf = Buffers(X, rng)
        want = rate_population(X, mode_i)
        for _ in range(2):  # a second call on the buffers the first one left behind
            n = buf.call(mode_i)
            assert n == want[3]
            for name, w in zip(["front_id", "within", "order"], want[:3]):
                assert buf.arrays[name].tobytes() == w.tobytes()
            assert buf.guards_intact()


@pytest.mark.parametrize("mode_i, within_mode_i, code", [(2, 0, -1), (-1, 0, -1), (0, 1, -2), (1, -1, -2),
                                                         (7, 7, -1)])
def test_bad_modes_write_nothing(mode_i, within_mode_i, code):
    rng = np.random.default_rng(0)
    buf = Buffers(rng.random((5, 2)), rng, shapes={"order": (3,)})  # a bad buffer is checked last
    assert buf.call(mode_i, within_mode_i) == code
    assert buf.outputs_unchanged() and buf.guards_intact()


N, M = 6, 3
BAD_SHAPES = [("front_id", (N - 1,)), ("within", (N + 1,)), ("order", (N - 1,)), ("offsets", (N,)),
              ("items", (N + 1,)), ("dom", (N, N - 1)), ("dom", (N - 1, N)), ("n_dom", (N - 1,)), ("cur", (N + 1,)),
              ("nxt", (N - 1,)), ("R", (N, M - 1)), ("R", (N - 1, M))]


@pytest.mark.parametrize("name, shape", BAD_SHAPES)
def test_buffer_of_wrong_shape(name, shape):
    rng = np.random.default_rng(1)
    buf = Buffers(rng.random((N, M)), rng, shapes={name: shape})
    assert buf.call() == -3
    assert buf.outputs_unchanged() and buf.guards_intact()


@pytest.mark.parametrize("name", ["X", "front_id", "within", "order", "offsets", "items", "dom", "n_dom", "cur",
                                  "nxt", "R"])
def test_buffer_not_contiguous(name):
    rng = np.random.default_rng(2)
    buf = Buffers(rng.random((N, M)), rng)
    a = buf.arrays[name]
    wide = np.zeros((a.shape[0], 2 * a.shape[1]) if a.ndim == 2 else 2 * a.shape[0], a.dtype)
    strided = wide[:, ::2] if a.ndim == 2 else wide[::2]
    assert buf.call(**{name: strided}) == -3
    assert buf.outputs_unchanged()


def test_missing_record_blocks():
    rng = np.random.default_rng(3)
    for name in ("pairs", "keys"):
        buf = Buffers(rng.random((N, M)), rng)
        assert buf.call(**{name: None}) == -3
        assert buf.outputs_unchanged()


def test_fortran_square_matrix_is_refused():
    rng = np.random.default_rng(4)
    buf = Buffers(rng.random((N, M)), rng)
    dom_f = np.asfortranarray(np.zeros((N, N), np.uint8))
    assert buf.call(dom=dom_f) == -3
    R_f = np.asfortranarray(np.zeros((N, M)))
    assert buf.call(R=R_f) == -3
