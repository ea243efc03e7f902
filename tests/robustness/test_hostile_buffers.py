"""The rating component's C-level entry called by a hostile native caller: slices whose shapes are
negative, too large to address or lie consistently about N, null data, zero, negative and
overlapping strides, misaligned data. Each such call returns -3 and writes nothing at all: every
buffer, working storage included, keeps the sentinel bytes it was filled with."""

import ctypes as C

import numpy as np
import pytest

from helpers.rating_abi import RATE_INPLACE, Buffers, as_slice

N, M = 6, 3
VEC = ["front_id", "within", "order", "items", "n_dom", "cur", "nxt"]
ALL = ["X", "R", "dom", "offsets"] + VEC


def slices(buf):
    return {k: as_slice(v) for k, v in buf.arrays.items() if k not in ("pairs", "keys")}


def call(buf, sl, mode_i=1, within_mode_i=0, pairs=0, keys=0):
    """`pairs` and `keys`: byte offsets from the records' own storage, or None for a null pointer."""
    a = buf.arrays
    return RATE_INPLACE(sl["X"], mode_i, within_mode_i, sl["front_id"], sl["within"], sl["order"], sl["offsets"],
                        sl["items"], sl["dom"], sl["n_dom"], sl["cur"], sl["nxt"],
                        None if pairs is None else a["pairs"].ctypes.data + pairs,
                        None if keys is None else a["keys"].ctypes.data + keys, sl["R"])


def nothing_written(buf):
    return all(buf.blocks[k].tobytes() == buf.pristine[k].tobytes() for k in buf.blocks)


def claim_rows(sl, n):
    """Every slice claims `n` individuals, consistently with one another."""
    for name in ["X", "R"] + VEC:
        sl[name].shape[0] = n
    sl["offsets"].shape[0] = n + 1
    sl["dom"].shape[0] = sl["dom"].shape[1] = n
    sl["dom"].strides[0] = n


def claim_columns(sl, m, row_stride):
    for name in ("X", "R"):
        sl[name].shape[1] = m
        sl[name].strides[0] = row_stride


def set_field(name, field, axis, value):
    def edit(sl):
        getattr(sl[name], field)[axis] = value
    return edit


def set_data(name, offset):
    def edit(sl):
        sl[name].data = None if offset is None else sl[name].data + offset
    return edit


HOSTILE = {
    "N negative everywhere": lambda sl: claim_rows(sl, -1),
    "N of 2**31 everywhere": lambda sl: claim_rows(sl, 2**31),
    "N of 2**62 everywhere": lambda sl: claim_rows(sl, 2**62),
    "M negative": lambda sl: claim_columns(sl, -1, -8),
    # the byte size of a row wraps around to 0, which a zero row stride would then match
    "M whose row size wraps to 0": lambda sl: claim_columns(sl, 2**61, 0),
    "M whose row size wraps around": lambda sl: claim_columns(sl, 2**61 + 1, 8),
    "M too large to address": lambda sl: claim_columns(sl, 2**60, 2**63 - 8),
    **{f"{name} zero stride": set_field(name, "strides", 0, 0) for name in ALL},
    **{f"{name} negative stride": set_field(name, "strides", 0, -abs(8)) for name in VEC + ["offsets"]},
    "X rows overlapping": set_field("X", "strides", 0, 8),
    "X columns reversed": set_field("X", "strides", 1, -8),
    "R column stride of a float": set_field("R", "strides", 1, 4),
    "dom column stride 2": set_field("dom", "strides", 1, 2),
    **{f"{name} without data": set_data(name, None) for name in ALL},
    **{f"{name} misaligned": set_data(name, 1) for name in ["X", "R", "offsets"] + VEC},
}


@pytest.mark.parametrize("case", list(HOSTILE))
def test_hostile_slices_are_refused_and_nothing_is_written(case):
    rng = np.random.default_rng(5)
    buf = Buffers(rng.random((N, M)), rng)
    sl = slices(buf)
    HOSTILE[case](sl)
    assert call(buf, sl) == -3
    assert nothing_written(buf)


@pytest.mark.parametrize("case", ["X without data", "N negative everywhere", "dom zero stride"])
@pytest.mark.parametrize("mode_i, within_mode_i, code", [(2, 0, -1), (0, 3, -2)])
def test_bad_mode_is_reported_before_bad_slices(case, mode_i, within_mode_i, code):
    rng = np.random.default_rng(6)
    buf = Buffers(rng.random((N, M)), rng)
    sl = slices(buf)
    HOSTILE[case](sl)
    assert call(buf, sl, mode_i, within_mode_i) == code
    assert nothing_written(buf)


@pytest.mark.parametrize("pairs, keys", [(None, 0), (0, None), (None, None), (4, 0), (0, 1)])
def test_missing_or_misaligned_records_refused_for_every_size(pairs, keys):
    rng = np.random.default_rng(7)
    for n in (0, 1, N):
        buf = Buffers(rng.random((n, M)), rng)
        assert call(buf, slices(buf), pairs=pairs, keys=keys) == -3
        assert nothing_written(buf)


def test_empty_population_needs_no_data():
    """N = 0 with a null pointer for every empty buffer is a valid call: no fronts, nothing touched."""
    rng = np.random.default_rng(8)
    buf = Buffers(np.zeros((0, M)), rng)
    sl = slices(buf)
    for name, s in sl.items():
        if name != "offsets":  # N + 1 = 1 entry
            s.data = None
    assert call(buf, sl) == 0
    assert nothing_written(buf)


def test_capsule_pointer_is_the_one_the_kernels_use():
    """The entry tested here is the one the kernel module binds: same capsule, same address."""
    import vornaquill.pareto_core._pareto_rating_cy as rating

    capsule = rating.__pyx_capi__["rate_population_inplace"]
    C.pythonapi.PyCapsule_GetPointer.restype = C.c_void_p
    C.pythonapi.PyCapsule_GetPointer.argtypes = [C.py_object, C.c_char_p]
    C.pythonapi.PyCapsule_GetName.restype = C.c_char_p
    C.pythonapi.PyCapsule_GetName.argtypes = [C.py_object]
    address = C.pythonapi.PyCapsule_GetPointer(capsule, C.pythonapi.PyCapsule_GetName(capsule))
    assert address == C.cast(RATE_INPLACE, C.c_void_p).value
