"""Load-time binding of the rating function, each case in a fresh interpreter."""

import pytest

from helpers.process import run_python

PRELUDE = """
import sys, types
import vornaquill.pareto_core._pareto_rating_cy as real
from vornaquill._testing import _stub_rating as stub
SIG = real.__pyx_capi__["rate_population_inplace"]
import ctypes
ctypes.pythonapi.PyCapsule_GetName.restype = ctypes.c_char_p
ctypes.pythonapi.PyCapsule_GetName.argtypes = [ctypes.py_object]
SIG = ctypes.pythonapi.PyCapsule_GetName(SIG).decode()
fake = types.ModuleType("vornaquill.pareto_core._pareto_rating_cy")
sys.modules[fake.__name__] = fake
"""


def test_capsule_name_is_the_signature_string():
    out = run_python(PRELUDE + "print(len(SIG)); print(SIG)").stdout.splitlines()
    assert out[0] == "378"
    assert out[1].startswith("int (__Pyx_memviewslice, int, int, __Pyx_memviewslice")


@pytest.mark.parametrize("position", [0, 100, 377])
def test_capsule_name_one_character_off(position):
    code = PRELUDE + f"""
bad = SIG[:{position}] + chr(ord(SIG[{position}]) ^ 1) + SIG[{position} + 1:]
fake.__pyx_capi__ = {{"rate_population_inplace": stub.make_capsule(bad)}}
try:
    import vornaquill.selection_core._mc_rank
except TypeError as e:
    expected = ("C function vornaquill.pareto_core._pareto_rating_cy.rate_population_inplace has wrong "
                "signature (expected %s, got %s)" % (SIG, bad))
    assert str(e) == expected, str(e)
    assert "vornaquill.selection_core._mc_rank" not in sys.modules
    print("ok")
"""
    assert run_python(code).stdout.strip() == "ok"


def test_missing_key_and_then_real_component():
    code = PRELUDE + """
fake.__pyx_capi__ = {"something_else": stub.make_capsule(SIG)}
try:
    import vornaquill.selection_core._mc_rank
except ImportError as e:
    assert str(e) == ("vornaquill.pareto_core._pareto_rating_cy does not export expected C function "
                      "rate_population_inplace"), str(e)
    assert "vornaquill.selection_core._mc_rank" not in sys.modules
sys.modules[fake.__name__] = real
from vornaquill.selection_core import _mc_rank
print(_mc_rank.mc_rank_counts([[0.0], [1.0]], [[0.0], [0.0]], 3)[0].tolist())
"""
    assert run_python(code).stdout.strip() == "[3, 0]"


def test_stand_in_with_exact_name_is_accepted():
    code = PRELUDE + """
fake.__pyx_capi__ = {"rate_population_inplace": stub.make_capsule(SIG)}
from vornaquill.selection_core import _mc_rank
stub.configure(orders=[[1, 0]])
print(_mc_rank.mc_rank_counts([[0.0], [1.0]], [[0.0], [0.0]], 3)[0].tolist())
"""
    assert run_python(code).stdout.strip() == "[0, 3]"


def test_reloading_keeps_no_extra_reference_to_the_array_type():
    code = """
import importlib, sys
import numpy as np
import vornaquill.selection_core._mc_rank
def reload():
    sys.modules.pop("vornaquill.selection_core._mc_rank")
    importlib.import_module("vornaquill.selection_core._mc_rank")
reload()
before = sys.getrefcount(np.ndarray)
for _ in range(50):
    reload()
print(sys.getrefcount(np.ndarray) - before)
"""
    assert run_python(code).stdout.strip() == "0"
