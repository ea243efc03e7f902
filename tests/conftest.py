"""Shared fixtures: the kernel module bound to the scripted stand-in rating component, and a
runner for checks that need a fresh interpreter."""

import importlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

SIBLING = "vornaquill.pareto_core._pareto_rating_cy"
MC_RANK = "vornaquill.selection_core._mc_rank"


def _reimport_mc_rank():
    sys.modules.pop(MC_RANK, None)
    return importlib.import_module(MC_RANK)


@pytest.fixture
def stub_rank():
    """(stub, module): `_mc_rank` loaded again while the stand-in sits where the rating component
    is imported from, so its kernels call the stand-in. Afterwards the module is loaded once more
    against the real component, which rebinds the process-wide function pointer."""
    stub = importlib.import_module("vornaquill._testing._stub_rating")
    stub.reset()
    real = importlib.import_module(SIBLING)
    original = sys.modules.get(MC_RANK)
    sys.modules[SIBLING] = stub
    try:
        module = _reimport_mc_rank()
    finally:
        sys.modules[SIBLING] = real
    try:
        yield stub, module
    finally:
        _reimport_mc_rank()
        if original is not None:
            sys.modules[MC_RANK] = original
            setattr(sys.modules["vornaquill.selection_core"], "_mc_rank", original)
        stub.reset()


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
