"""Shared fixtures: the kernel module bound to the scripted stand-in rating component. Helpers
shared by the test folders are in helpers.py."""

import importlib
import sys

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
