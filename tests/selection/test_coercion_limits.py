"""Input coercion at its limits: arrays at odd addresses, a module-level `np` that hands back
arrays the kernels cannot read as packed doubles, and a population with 2**31 - 1 rows."""

import os
import types

import numpy as np
import pytest

from helpers.process import assert_unchanged, snapshot
from helpers.results import assert_same_result
from vornaquill.selection_core import _mc_rank as m

KERNELS = [m.mc_rank_counts, m.mc_rank_select, m.mc_rank_select_detailed]


def unaligned(A, writeable=True):
    """A C-contiguous float64 copy of `A` that starts one byte into its buffer."""
    raw = bytearray(A.size * 8 + 1)
    out = np.frombuffer(raw, dtype=np.float64, offset=1, count=A.size).reshape(A.shape)
    out[...] = A
    out.flags.writeable = writeable
    assert out.flags.c_contiguous and not out.flags.aligned
    return out



@pytest.mark.parametrize("fn", KERNELS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("which", ["mu", "sigma2", "both", "both read-only"])
def test_unaligned_inputs_give_the_aligned_result(fn, which):
    rng = np.random.default_rng(5)
    mu, s2 = rng.normal(size=(37, 3)), rng.uniform(0.0, 1.0, size=(37, 3))
    want = fn(mu, s2, 25, 0.3, 9)
    ro = which == "both read-only"
    odd_mu = unaligned(mu, not ro) if which != "sigma2" else mu
    odd_s2 = unaligned(s2, not ro) if which != "mu" else s2
    snap = snapshot(odd_mu, odd_s2)
    assert_same_result(fn(odd_mu, odd_s2, 25, 0.3, 9), want)
    assert_unchanged(snap)
    assert odd_mu.flags.writeable == (which == "sigma2" or not ro)


def fake_numpy(**overrides):
    fake = types.SimpleNamespace(**{name: getattr(np, name) for name in dir(np) if not name.startswith("__")})
    for name, fn in overrides.items():
        setattr(fake, name, fn)
    return fake


SHAPE = (40, 30)
# What a replaced `np` hands back; every one of them would be read as the wrong bytes.
BAD_ASARRAY = {
    "int8": lambda a, dtype=None: np.zeros(SHAPE, dtype=np.int8),
    "float32": lambda a, dtype=None: np.zeros(SHAPE, dtype=np.float32),
    "complex": lambda a, dtype=None: np.zeros(SHAPE, dtype=complex),
    "byte-swapped float64": lambda a, dtype=None: np.ones(SHAPE, dtype=">f8"),
}
BAD_CONTIGUOUS = {
    "Fortran order": lambda a: np.asfortranarray(np.ones(SHAPE)),
    "other shape": lambda a: np.ones((SHAPE[0] + 1, SHAPE[1])),
    "int64": lambda a: np.ones(SHAPE, dtype=np.int64),
}


@pytest.mark.parametrize("fn", KERNELS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("case", list(BAD_ASARRAY) + list(BAD_CONTIGUOUS))
def test_replaced_numpy_handing_back_unreadable_arrays_is_refused(monkeypatch, fn, case):
    if case in BAD_ASARRAY:
        fake = fake_numpy(asarray=BAD_ASARRAY[case])
    else:  # asarray gives a Fortran-ordered float64 array, the reordering call misbehaves
        fake = fake_numpy(asarray=lambda a, dtype=None: np.asfortranarray(np.ones(SHAPE)),
                          ascontiguousarray=BAD_CONTIGUOUS[case])
    monkeypatch.setattr(m, "np", fake)
    with pytest.raises(TypeError, match="Cannot convert"):
        fn(np.zeros(SHAPE), np.ones(SHAPE), 3)


@pytest.mark.parametrize("fn", KERNELS, ids=lambda f: f.__name__)
def test_replaced_numpy_handing_back_an_unaligned_array_still_works(monkeypatch, fn):
    mu, s2 = np.arange(12.0).reshape(6, 2), np.full((6, 2), 0.5)
    want = fn(mu, s2, 7)
    monkeypatch.setattr(m, "np", fake_numpy(asarray=lambda a, dtype=None: unaligned(np.array(a, dtype=float))))
    assert_same_result(fn(mu, s2, 7), want)


@pytest.mark.skipif(os.environ.get("VQ_ASAN") == "1",
                    reason="the sanitizer's allocator aborts on requests of exabytes instead of failing them")
@pytest.mark.parametrize("fn", KERNELS, ids=lambda f: f.__name__)
def test_largest_population_fails_for_memory_not_for_its_size(fn):
    # 2**31 - 1 rows of nothing: every count still fits 32 bits, but the N x N dominance
    # matrix cannot be had. Nothing of the N-sized buffers is touched before that.
    empty_rows = np.zeros((2**31 - 1, 0))
    with pytest.raises(MemoryError):
        fn(empty_rows, empty_rows, 1)
