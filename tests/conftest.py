"""Shared fixtures: a kernel module bound to the scripted stand-in rating component, and the
`needs` marker for tests of an optional dependency. Helpers shared by the test folders are in the
`helpers` package."""

import importlib
import importlib.util
import signal
import sys
from contextlib import contextmanager

import pytest

SIBLING = "vornaquill.pareto_core._pareto_rating_cy"
MC_RANK = "vornaquill.selection_core._mc_rank"
PARALLEL = "vornaquill.selection_core._parallel"


def pytest_configure(config):
    # The Ctrl-C tests interrupt this process and the command-line tool's. A job that a script
    # starts in the background inherits SIGINT ignored, and Python then ignores it too: put
    # Python's handler back, so that the tests see what a user at a terminal sees (children start
    # with the default disposition again).
    if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    config.addinivalue_line("markers", "needs(*modules): skip unless every module can be imported "
                            "(the optional dependencies: matplotlib, pandas, tqdm)")


def pytest_runtest_setup(item):
    for mark in item.iter_markers("needs"):
        missing = [name for name in mark.args if importlib.util.find_spec(name) is None]
        if missing:
            pytest.skip(f"needs {', '.join(missing)} (not installed)")


@contextmanager
def bound_to_stand_in(name):
    """(stub, module): the kernel module `name` loaded again while the stand-in sits where the
    rating component is imported from, so its kernels call the stand-in. Afterwards the module is
    loaded once more against the real component, which rebinds the process-wide function pointer,
    and the original module object is put back."""
    stub = importlib.import_module("vornaquill._testing._stub_rating")
    stub.reset()
    real = importlib.import_module(SIBLING)
    original = sys.modules.get(name)
    sys.modules[SIBLING] = stub
    try:
        sys.modules.pop(name, None)
        module = importlib.import_module(name)
    finally:
        sys.modules[SIBLING] = real
    try:
        yield stub, module
    finally:
        sys.modules.pop(name, None)
        importlib.import_module(name)
        if original is not None:
            sys.modules[name] = original
            package, attribute = name.rsplit(".", 1)
            setattr(sys.modules[package], attribute, original)
        stub.reset()


@pytest.fixture
def stub_rank():
    """(stub, `_mc_rank` bound to the stand-in)."""
    with bound_to_stand_in(MC_RANK) as pair:
        yield pair


@pytest.fixture
def stub_par():
    """(stub, `_parallel` bound to the stand-in)."""
    with bound_to_stand_in(PARALLEL) as pair:
        yield pair
