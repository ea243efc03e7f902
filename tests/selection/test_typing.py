"""Type information: the installed package passes `mypy --strict` on the example, the stubs give the
documented types (not Any), misuse is reported, and the stubs agree with the runtime signatures."""

import importlib.util
import re
import subprocess
import sys
import textwrap

import pytest

from helpers.process import ROOT

pytest.importorskip("mypy", reason="mypy is not installed (it is in the 'test' dependency group)")


def mypy(*args, cwd):
    # Run from an empty folder so that only the installed package (with its py.typed) is seen.
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                           "--cache-dir", str(cwd / ".mypy_cache"), *map(str, args)],
                          cwd=cwd, capture_output=True, text=True, timeout=600)


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("typing")


def test_example_passes_strict(workdir):
    proc = mypy(ROOT / "examples" / "quickstart.py", cwd=workdir)
    assert proc.returncode == 0, proc.stdout + proc.stderr


# What mypy prints for an array of the given dtype, and for a signed integer of the given width.
ARRAY = "numpy.ndarray[builtins.tuple[Any, ...], numpy.dtype[{}]]"
SIGNED = "numpy.signedinteger[numpy._typing._nbit_base._{}Bit]"
REVEALS = {
    "r.winners": ARRAY.format(SIGNED.format(64)),
    "r.win_count": ARRAY.format(SIGNED.format(32)),
    "r.place.q25": ARRAY.format("numpy.float64"),
    "r.quantiles_streamed": "builtins.bool",
    "counts[2]": ARRAY.format(SIGNED.format(64)),
    "sel[1]": ARRAY.format(SIGNED.format(64)),
    "det[5]['median']": ARRAY.format("numpy.float64"),
    "det[8]": ARRAY.format("numpy.float64"),
    "rated[3]": "builtins.int",
}


def test_revealed_types(workdir):
    lines = [f"reveal_type({expr})" for expr in REVEALS]
    source = textwrap.dedent("""\
        import numpy as np
        from vornaquill.pareto_core import rate_population
        from vornaquill.selection_core import (
            mc_rank_counts, mc_rank_select, mc_rank_select_detailed, select)

        mu = np.zeros((4, 2))
        r = select(mu, mu, 10, seed=3)
        counts = mc_rank_counts(mu, mu, 10)
        sel = mc_rank_select(mu, mu, 10, 0.5)
        det = mc_rank_select_detailed(mu, mu, 10, quantiles_mode_i=0)
        rated = rate_population(mu)
        """) + "\n".join(lines) + "\n"
    (workdir / "reveal.py").write_text(source)
    proc = mypy("reveal.py", cwd=workdir)
    revealed = [line.split('Revealed type is "', 1)[1].rstrip('"')
                for line in proc.stdout.splitlines() if "Revealed type is" in line]
    # mypy and numpy versions differ in how they spell builtins, the shape parameter and the bit
    # widths (NumPy 1.x: `floating[_64Bit]` for float64); compare the dtype part of arrays and the
    # bare name of scalars.
    def norm(t):
        t = re.sub(r"numpy\._typing\.(_nbit_base\.)?", "", t.replace("builtins.", "").split("numpy.dtype", 1)[-1])
        return t.replace("numpy.floating[_64Bit]", "numpy.float64")

    assert [norm(t) for t in revealed] == [norm(t) for t in REVEALS.values()], proc.stdout


@pytest.mark.parametrize("snippet,fragment", [
    ("select(mu, mu, '100')", "Argument 3 to \"select\" has incompatible type \"Literal['100']\""),
    ("select(mu, mu, 10, 0.5)", "Too many positional arguments"),
    ("select(mu, mu, 10, percentil=0.5)", 'Unexpected keyword argument "percentil"'),
    ("mc_rank_select_detailed(mu, mu, 10)[5]['average']", '"average"'),
    ("x: str = select(mu, mu, 10).n_samples", "Incompatible types in assignment"),
    ("select(mu, mu, 10).winners = mu", "read-only"),
])
def test_misuse_is_reported(workdir, snippet, fragment):
    source = ("import numpy as np\nfrom vornaquill.selection_core import mc_rank_select_detailed, select\n"
              f"mu = np.zeros((3, 2))\n{snippet}\n")
    name = f"misuse_{abs(hash(snippet))}.py"
    (workdir / name).write_text(source)
    proc = mypy(name, cwd=workdir)
    assert proc.returncode == 1 and fragment in proc.stdout, proc.stdout


def test_stubs_match_runtime(workdir):
    # The optional dependencies are imported inside functions; without them installed, their
    # imports are not what is checked here.
    config = workdir / "optional.ini"
    config.write_text("[mypy]\n" + "".join(f"[mypy-{name}.*]\nignore_missing_imports = True\n"
                                            for name in ("matplotlib", "pandas", "tqdm")))
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vornaquill", "--concise",
                           "--mypy-config-file", str(config)],
                          cwd=workdir, capture_output=True, text=True, timeout=600)
    # The kernels are objects of the module's own function type, which stubtest reports as "not a
    # function" before it compares their signatures; every other line is a real mismatch.
    # Without the `ray` extra the Ray Tune scheduler package cannot be imported at all.
    optional = () if importlib.util.find_spec("ray") else ("vornaquill.ray_tune",)
    problems = [line for line in proc.stdout.splitlines()
                if line and not line.endswith("is not a function") and not line.startswith(optional)]
    assert problems == [], proc.stdout + proc.stderr
