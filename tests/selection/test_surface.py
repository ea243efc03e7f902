"""The Python surface of the kernel module: names, docstrings, introspection, argument binding
and scalar conversion."""

import ast
import copy
import inspect
import multiprocessing
import pickle
import warnings
import weakref
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

from helpers.process import ROOT
from helpers.results import assert_same_result
from vornaquill.selection_core import _mc_rank as m
from vornaquill.selection_core import _parallel as par
from vornaquill.selection_core._defaults import KERNEL_DEFAULTS

MU = np.array([[0.0, 1.0], [1.0, 0.0], [0.5, 0.5], [2.0, 2.0]])
S2 = np.full((4, 2), 0.3)

COUNTS_SIG = "(mu_obj, sigma2_obj, n_samples, percentile=0.2, seed=0, mode_i=1, within_mode_i=0)"
DETAILED_SIG = (
    "(mu_obj, sigma2_obj, n_samples, percentile=0.2, seed=0, mode_i=1, within_mode_i=0, "
    "quantiles_mode_i=2, quantiles_budget=2500000, quality_w_place=1.0, quality_w_front=1.0, "
    "quality_w_within=1.0, quality_sign=-1.0)"
)
FUNCS = [m.mc_rank_counts, m.mc_rank_select, m.mc_rank_select_detailed]
COUNTING = [m.mc_rank_counts, m.mc_rank_select]


def threaded(name, threads):
    """A threaded function called like the kernel (mu_obj, sigma2_obj): it converts scalars alike."""
    def call(mu_obj, sigma2_obj, **kwargs):
        return getattr(par, name)(mu_obj, sigma2_obj, threads=threads, **kwargs)
    call.__name__ = f"{name}_threads{threads}"
    return call


THREADED = [threaded(name, t) for name in ("counts", "select_detailed") for t in (1, 2)]


def test_module_namespace_and_docstring():
    public = {k for k in vars(m) if not k.startswith("__")}
    assert public == {"np", "mc_rank_counts", "mc_rank_select", "mc_rank_select_detailed"}
    assert m.np is np
    first, rest = m.__doc__.split("\n", 1)
    assert first.startswith("Monte-Carlo Pareto ranking core (") and first.endswith(").")
    assert rest.startswith("\nGoal\n----\nGiven per-point objective distributions")
    assert rest.endswith("(P² algorithm) to avoid storing all (n_samples x N) values.\n")


@pytest.mark.parametrize(
    "f, sig, defaults",
    [
        (m.mc_rank_counts, COUNTS_SIG, (0.2, 0, 1, 0)),
        (m.mc_rank_select, COUNTS_SIG, (0.2, 0, 1, 0)),
        (m.mc_rank_select_detailed, DETAILED_SIG, (0.2, 0, 1, 0, 2, 2500000, 1.0, 1.0, 1.0, -1.0)),
    ],
)
def test_introspection(f, sig, defaults):
    assert str(inspect.signature(f)) == sig
    assert f.__defaults__ == defaults
    assert [type(d) for d in f.__defaults__] == [type(d) for d in defaults]  # ints stay ints
    assert f.__kwdefaults__ is None
    assert f.__module__ == "vornaquill.selection_core._mc_rank"
    assert f.__name__ == f.__qualname__ == f.__code__.co_name
    assert f.__code__.co_varnames == tuple(inspect.signature(f).parameters)
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in inspect.signature(f).parameters.values())


PACKAGE = ROOT / "src" / "vornaquill" / "selection_core"


@pytest.mark.parametrize("f", FUNCS + [par.counts, par.select, par.select_detailed])
def test_stub_defaults_match_the_kernels(f):
    """Each stub, each text signature and the threaded functions' defaults are the kernels' own."""
    stubs = ast.parse((PACKAGE / f"{f.__module__.rsplit('.', 1)[1]}.pyi").read_text()).body
    stub = next(node for node in stubs if isinstance(node, ast.FunctionDef) and node.name == f.__name__)
    params = inspect.signature(f).parameters.values()
    positional = [p for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    assert [a.arg for a in stub.args.args] == [p.name for p in positional]
    stub_defaults = [ast.literal_eval(d) for d in stub.args.defaults + stub.args.kw_defaults]
    defaults = [p.default for p in params if p.default is not p.empty]
    assert [(type(d), d) for d in stub_defaults] == [(type(d), d) for d in defaults]
    shared = [(p.name, p.default) for p in positional if p.default is not p.empty]
    assert [(type(d), d) for _, d in shared] == [(type(KERNEL_DEFAULTS[k]), KERNEL_DEFAULTS[k]) for k, _ in shared]
    assert f not in FUNCS or [(type(d), d) for d in defaults] == [(type(d), d) for d in f.__defaults__]


@pytest.fixture(scope="module")
def process_pool():
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        yield pool


@pytest.mark.parametrize("f", FUNCS)
def test_functions_pickle_copy_and_weakref_like_python_functions(f, process_pool):
    assert pickle.loads(pickle.dumps(f, protocol=0)) is f
    assert copy.copy(f) is f and copy.deepcopy({"kernel": f})["kernel"] is f
    ref = weakref.ref(f)
    assert ref() is f and f in weakref.WeakSet([f])
    # sent to another interpreter by name and called there
    assert_same_result(process_pool.submit(f, MU, S2, 30, 0.5, 9).result(timeout=300), f(MU, S2, 30, 0.5, 9))


def test_docstrings_exact():
    assert m.mc_rank_counts.__doc__.startswith("Accumulate MC win/lose counts and rank sums.\n\n    Parameters\n")
    assert m.mc_rank_counts.__doc__.endswith(
        "        rank_sum: int64 array of shape (N,) (sum of positions in global order)\n    ")
    assert m.mc_rank_select.__doc__ == (
        "Compute winners/losers according to MC top/bottom percentiles.\n\n    Returns\n    -------\n    "
        "(winners, losers, win_count, lose_count, rank_sum)\n        winners/losers are int64 arrays of "
        "shape (k,).\n    ")
    assert m.mc_rank_select_detailed.__doc__.endswith(
        "using the P² (Jain-Chlamtac) streaming estimator. Mean/std are exact.\n    ")
    for f in FUNCS:
        assert f.__doc__.endswith("\n    ")



@pytest.mark.parametrize("f", FUNCS)
def test_defaults_equal_explicit_values_and_keywords_in_any_order(f):
    spelled = f.__defaults__
    ref = f(MU, S2, 50, *spelled)
    assert_same_result(f(MU, S2, 50), ref)
    assert_same_result(f(n_samples=50, sigma2_obj=S2, mu_obj=MU), ref)
    optional = list(inspect.signature(f).parameters)[3:]
    assert_same_result(f(MU, n_samples=50, sigma2_obj=S2, **dict(zip(optional[::-1], spelled[::-1]))), ref)
    assert_same_result(f(MU, S2, 50, **{}), ref)


@pytest.mark.parametrize("f", FUNCS)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((MU, S2), {}, "{}() takes at least 3 positional arguments (2 given)"),
        ((), {"sigma2_obj": S2, "n_samples": 3}, "{}() takes at least 3 positional arguments (0 given)"),
        ((MU,), {"n_samples": 3}, "{}() takes at least 3 positional arguments (1 given)"),
        ((MU, S2, 3), {"bogus": 1}, "{}() got an unexpected keyword argument 'bogus'"),
        ((MU, S2, 3), {"mu_obj": MU}, "{}() got multiple values for keyword argument 'mu_obj'"),
        ((MU, S2, 3, 0.2), {"percentile": 0.3}, "{}() got multiple values for keyword argument 'percentile'"),
        # binding errors come before the check of required slots
        ((MU,), {"bogus": 1}, "{}() got an unexpected keyword argument 'bogus'"),
    ],
)
def test_binding_errors(f, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        f(*args, **kwargs)
    assert str(e.value) == message.format(f.__name__)


@pytest.mark.parametrize("f, limit", [(m.mc_rank_counts, 7), (m.mc_rank_select, 7), (m.mc_rank_select_detailed, 13)])
def test_too_many_positional(f, limit):
    with pytest.raises(TypeError) as e:
        f(*([MU, S2, 3] + [0] * (limit - 2)))
    assert str(e.value) == f"{f.__name__}() takes at most {limit} positional arguments ({limit + 1} given)"


def test_non_string_keyword_name_from_native_caller():
    # The interpreter refuses non-string keywords before the call; a native caller can still
    # hand over a keyword-name tuple with anything in it.
    import ctypes

    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    stack = (ctypes.py_object * 4)(MU, S2, 3, 2)
    with pytest.raises(TypeError, match=r"^mc_rank_counts\(\) keywords must be strings$"):
        vectorcall(m.mc_rank_counts, stack, 3, (1,))
    assert vectorcall(m.mc_rank_counts, stack, 3, ("seed",))[0].shape == (4,)


class IntLike:
    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


class FloatLike:
    def __float__(self):
        return 0.5


class IndexOnly:
    def __index__(self):
        return 3


class BoolSub(int):
    pass


class ReturnsIntSubclass:
    def __int__(self):
        return BoolSub(7)


class ReturnsStr:
    def __int__(self):
        return "7"


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"n_samples": "10"}, TypeError, "an integer is required"),
        ({"n_samples": None}, TypeError, "an integer is required"),
        ({"n_samples": IndexOnly()}, TypeError, "an integer is required"),
        ({"mode_i": "1"}, TypeError, "an integer is required"),
        ({"seed": 1.5j}, TypeError, None),
        ({"n_samples": 2**31}, OverflowError, "value too large to convert to int"),
        ({"n_samples": -(2**31) - 1}, OverflowError, "value too large to convert to int"),
        ({"n_samples": 2**80}, OverflowError, "value too large to convert to int"),
        ({"within_mode_i": 2.0**40}, OverflowError, "value too large to convert to int"),
        ({"seed": -1}, OverflowError, "can't convert negative value to unsigned PY_LONG_LONG"),
        ({"seed": -(2**70)}, OverflowError, "can't convert negative value to unsigned PY_LONG_LONG"),
        ({"seed": 2**64}, OverflowError, None),
        ({"n_samples": ReturnsStr()}, TypeError, "__int__ returned non-int (type str)"),
        ({"percentile": "0.2"}, TypeError, None),
        ({"percentile": None}, TypeError, None),
    ],
)
@pytest.mark.parametrize("f", FUNCS + THREADED)
def test_conversion_errors(f, kwargs, exc, message):
    args = {"mu_obj": MU, "sigma2_obj": S2, "n_samples": 5}
    args.update(kwargs)
    with pytest.raises(exc) as e:
        f(**args)
    if message is not None:
        assert str(e.value) == message


@pytest.mark.parametrize(
    "kwargs, equivalent",
    [
        ({"n_samples": 10.9}, {"n_samples": 10}),
        ({"n_samples": IntLike(10)}, {"n_samples": 10}),
        ({"n_samples": np.int16(10)}, {"n_samples": 10}),
        ({"mode_i": True}, {"mode_i": 1}),
        ({"percentile": 1}, {"percentile": 1.0}),
        ({"percentile": FloatLike()}, {"percentile": 0.5}),
        ({"percentile": IndexOnly()}, {"percentile": 3.0}),
        ({"seed": 2**64 - 1, "n_samples": 4}, {"seed": np.uint64(2**64 - 1), "n_samples": 4}),
        ({"seed": IntLike(2**63)}, {"seed": 2**63}),
    ],
)
@pytest.mark.parametrize("f", COUNTING + THREADED[:2])
def test_conversions_accepted(f, kwargs, equivalent):
    base = {"mu_obj": MU, "sigma2_obj": S2, "n_samples": 10}
    a, b = dict(base, **kwargs), dict(base, **equivalent)
    if a.get("percentile") == 3.0 or isinstance(a.get("percentile"), IndexOnly):
        with pytest.raises(ValueError, match=r"^percentile must be in \(0,1\]$"):
            f(**a)
        return
    assert_same_result(f(**a), f(**b))


def test_int_subclass_from_int_warns_then_is_accepted():
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type BoolSub\)\.  The ability"):
        r = m.mc_rank_counts(MU, S2, ReturnsIntSubclass())
    assert_same_result(r, m.mc_rank_counts(MU, S2, 7))
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            m.mc_rank_counts(MU, S2, ReturnsIntSubclass())


@pytest.mark.parametrize("f", FUNCS)
def test_kernel_checks_pass_the_wrapper(f):
    # The wrappers only bind and convert: range checks are the kernels' own.
    with pytest.raises(ValueError, match=r"^n_samples must be > 0$"):
        f(MU, S2, -5)
    with pytest.raises(ValueError, match=r"^expected a 2D array$"):
        f(None, S2, 5)
    with pytest.raises(ValueError, match="NaN"):
        f(MU, S2, 5, float("nan"))
    budget = {"quantiles_budget": -(2**63)} if f is m.mc_rank_select_detailed else {}
    assert len(f(MU, S2, 5, **budget)) in (3, 5, 9)


def test_function_objects_are_not_writable_or_instantiable():
    f = m.mc_rank_counts
    with pytest.raises(AttributeError):
        f.__defaults__ = (0.5, 0, 1, 0)
    with pytest.raises(TypeError):
        type(f)()
    assert "mc_rank_counts" in repr(f)
