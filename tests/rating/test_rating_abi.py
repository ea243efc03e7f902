"""The C-level entry of the rating component, called through its capsule the way the sampling
kernels call it: error codes and their order, buffer checks, nothing written on error or outside
the buffers, and no reliance on the contents of reused work buffers."""

import numpy as np
import pytest

from helpers.rating_abi import Buffers
from vornaquill.pareto_core import rate_population


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
