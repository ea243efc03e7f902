"""Every way the load of the kernel module can fail on its rating component (component missing,
no export table, no entry, an entry under the wrong name, NumPy's C API unavailable) raises its
own exception, leaves no module behind, does not disturb a module loaded earlier, and a later
import with the real component succeeds in the same process. Each case runs in a fresh interpreter."""

import pytest

from helpers.process import run_python

PRELUDE = """
import ctypes, importlib, sys, types
import numpy as np
# where the NumPy C API table is imported from (numpy.core before NumPy 2)
UMATH = "numpy._core._multiarray_umath" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core._multiarray_umath"
SIBLING = "vornaquill.pareto_core._pareto_rating_cy"
MC_RANK = "vornaquill.selection_core._mc_rank"
real = importlib.import_module(SIBLING)
get_name = ctypes.pythonapi.PyCapsule_GetName
get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
SIG = get_name(real.__pyx_capi__["rate_population_inplace"]).decode()
new_capsule = ctypes.pythonapi.PyCapsule_New
new_capsule.restype, new_capsule.argtypes = ctypes.py_object, [ctypes.c_void_p] * 3
NAME_KEEP = []  # the capsule keeps a pointer to its name

def capsule(name):
    if name is None:
        return new_capsule(1, None, None)
    NAME_KEEP.append(ctypes.create_string_buffer(name.encode()))
    return new_capsule(1, ctypes.addressof(NAME_KEEP[-1]), None)

def stand_in(**attrs):
    mod = types.ModuleType(SIBLING)
    mod.__dict__.update(attrs)
    return mod

def check(expected_counts):
    from vornaquill.selection_core import _mc_rank
    # zero variances: every sample is the means, ranked by the real component
    got = _mc_rank.mc_rank_counts([[0.0], [1.0], [2.0]], [[0.0]] * 3, 4, 0.34)
    assert [a.tolist() for a in got] == expected_counts, got
    return _mc_rank

GOOD = [[4, 4, 0], [0, 4, 4], [0, 4, 8]]

def import_fails(exc_type, message=None):
    try:
        importlib.import_module(MC_RANK)
    except exc_type as e:
        if message is not None:  # the whole message, or its start when it ends in "..."
            assert str(e).startswith(message[:-3]) if message.endswith("...") else str(e) == message, str(e)
    else:
        raise AssertionError("the import succeeded")
    # no module, whole or partial, is left behind
    assert MC_RANK not in sys.modules
    assert "vornaquill.selection_core" not in sys.modules
"""

WRONG_SIG = ("C function vornaquill.pareto_core._pareto_rating_cy.rate_population_inplace has wrong signature "
             "(expected {SIG}, got {got})")
NO_ENTRY = "vornaquill.pareto_core._pareto_rating_cy does not export expected C function rate_population_inplace"


class Blocker:
    code = """
class Blocker:
    def find_spec(self, name, path=None, target=None):
        if name == SIBLING:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
sys.meta_path.insert(0, Blocker())
del sys.modules[SIBLING]
"""


# (setup that breaks the component, what the import raises, message or None, undo)
CASES = {
    "component missing (None in sys.modules)": (
        "sys.modules[SIBLING] = None", "ModuleNotFoundError", None, "sys.modules[SIBLING] = real"),
    "component missing (no finder has it)": (
        Blocker.code, "ModuleNotFoundError", None, "sys.meta_path.pop(0); sys.modules[SIBLING] = real"),
    "no export table": ("sys.modules[SIBLING] = stand_in()", "AttributeError", None, "sys.modules[SIBLING] = real"),
    "export table raises": (
        "class Raising(types.ModuleType):\n"
        "    def __getattr__(self, name): raise RuntimeError('broken component')\n"
        "sys.modules[SIBLING] = Raising(SIBLING)", "RuntimeError", "'broken component'",
        "sys.modules[SIBLING] = real"),
    "export table is not a dict": (
        "sys.modules[SIBLING] = stand_in(__pyx_capi__=[('rate_population_inplace', capsule(SIG))])",
        "ImportError", repr(NO_ENTRY), "sys.modules[SIBLING] = real"),
    "no entry": (
        "sys.modules[SIBLING] = stand_in(__pyx_capi__={'rate_population': capsule(SIG)})", "ImportError",
        repr(NO_ENTRY), "sys.modules[SIBLING] = real"),
    "wrong capsule name": (
        "bad = SIG.replace('int (', 'long (')\n"
        "sys.modules[SIBLING] = stand_in(__pyx_capi__={'rate_population_inplace': capsule(bad)})", "TypeError",
        f"{WRONG_SIG!r}.format(SIG=SIG, got=bad)", "sys.modules[SIBLING] = real"),
    "capsule name cut short": (
        "bad = SIG[:-1]\n"
        "sys.modules[SIBLING] = stand_in(__pyx_capi__={'rate_population_inplace': capsule(bad)})", "TypeError",
        f"{WRONG_SIG!r}.format(SIG=SIG, got=bad)", "sys.modules[SIBLING] = real"),
    "capsule without a name": (
        "sys.modules[SIBLING] = stand_in(__pyx_capi__={'rate_population_inplace': capsule(None)})", "TypeError",
        None, "sys.modules[SIBLING] = real"),
    "entry is not a capsule": (
        "sys.modules[SIBLING] = stand_in(__pyx_capi__={'rate_population_inplace': SIG})", "TypeError",
        f"{WRONG_SIG!r}.format(SIG=SIG, got='str')", "sys.modules[SIBLING] = real"),
    "NumPy C API table missing": (
        "umath = sys.modules[UMATH]\n"
        "sys.modules[UMATH] = types.ModuleType(UMATH)",
        "ImportError", "'numpy.core.multiarray failed to import...'",
        "sys.modules[UMATH] = umath"),
}


@pytest.mark.parametrize("case", list(CASES))
def test_failed_load_leaves_nothing_and_a_later_load_succeeds(case):
    setup, exc, message, undo = CASES[case]
    code = PRELUDE + f"""
{setup}
import_fails({exc}, {message or 'None'})
import_fails({exc}, {message or 'None'})  # the whole sequence runs again, with the same outcome
{undo}
check(GOOD)
print("ok")
"""
    assert run_python(code).stdout.strip() == "ok"


@pytest.mark.parametrize("case", ["no entry", "wrong capsule name", "capsule without a name"])
def test_failed_reload_keeps_the_module_loaded_before(case):
    setup, exc, message, undo = CASES[case]
    code = PRELUDE + f"""
first = check(GOOD)
del sys.modules[MC_RANK], sys.modules["vornaquill.selection_core"]
{setup}
import_fails({exc}, {message or 'None'})
# the earlier module still calls the real component
assert [a.tolist() for a in first.mc_rank_counts([[0.0], [1.0], [2.0]], [[0.0]] * 3, 4, 0.34)] == GOOD
{undo}
check(GOOD)
print("ok")
"""
    assert run_python(code).stdout.strip() == "ok"
