"""The rating component's C-level entry called through ctypes: memory-view slices, the record
dtypes and guarded work buffers."""

import ctypes as C
import platform
import sys

import numpy as np

import vornaquill.pareto_core._pareto_rating_cy as rating_module


class Slice(C.Structure):
    _fields_ = [("memview", C.c_void_p), ("data", C.c_void_p), ("shape", C.c_ssize_t * 8),
                ("strides", C.c_ssize_t * 8), ("suboffsets", C.c_ssize_t * 8)]


PAIR = np.dtype([("val", "f8"), ("idx", "i4")], align=True)
KEY = np.dtype([("front", "i8"), ("neg_score", "f8"), ("idx", "i8")], align=True)
assert PAIR.itemsize == 16 and KEY.itemsize == 24

# A record this large "passed by value" is copied onto the stack by x86-64's System V ABI, but
# passed as a pointer to a copy by AArch64's and Windows x64's. ctypes' libffi gets the latter wrong
# on aarch64 Linux once the arguments spill to the stack (those after the ninth slice arrive
# shifted: the entry saw a null `pairs` and refused the call), so there the slices are declared as
# the pointers the ABI passes, and ctypes passes each Slice by reference (the entry only reads them).
SLICE_ARG = C.POINTER(Slice) if platform.machine().lower() in ("aarch64", "arm64") or sys.platform == "win32" else Slice
RATE = C.CFUNCTYPE(C.c_int, SLICE_ARG, C.c_int, C.c_int, *[SLICE_ARG] * 9, C.c_void_p, C.c_void_p, SLICE_ARG)


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
