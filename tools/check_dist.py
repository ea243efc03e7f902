"""Checks the distributions in a folder against an installed copy of the wheel (`make wheel`).

The source archive must hold what a build needs and none of the local environments or build
trees; the wheel must hold every extension (one per source folder with a module.cpp), every Python
module, stub and data file of the package's source (subpackages included: selection_core.cli,
ray_tune), the licence, and no C++ sources or test-only modules; the installed package must import
from the environment it was installed into, report the version its metadata gives, and run its
command-line tool.

    python -I tools/check_dist.py dist      # with the wheel installed; run outside the source tree
"""

from __future__ import annotations

import importlib.metadata
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

SDIST_NEEDS = ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "CHANGELOG.md",
               "src/vornaquill/__init__.py", "src/vornaquill/_native/py_ref.hpp",
               "src/vornaquill/selection_core/_mc_rank/module.cpp",
               "src/vornaquill/selection_core/_parallel/module.cpp",
               "src/vornaquill/pareto_core/_pareto_rating_cy/module.cpp",
               "src/vornaquill/selection_core/cli/__init__.py", "src/vornaquill/ray_tune/__init__.py"]
# Top-level entries (or bench/ entries) that belong to a working copy, never to a release.
SDIST_LOCAL = (".venv", "build/", "dist/", ".git/", ".pytest_cache/", ".hypothesis/",
               "bench/.venv", "bench/.build", "bench/results")
# The package files of the source archive that the wheel holds as they are (the rest is C++).
PACKAGE_FILES = (".py", ".pyi", "py.typed", ".csv")


def check(ok: bool, what: str, problems: list[str]) -> None:
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        problems.append(what)


def main(dist: Path) -> int:
    problems: list[str] = []
    (sdist,) = dist.glob("vornaquill-*.tar.gz")
    (wheel,) = dist.glob("vornaquill-*.whl")
    import vornaquill
    import vornaquill.pareto_core
    import vornaquill.selection_core
    import vornaquill.selection_core.cli
    import vornaquill.selection_core.parallel

    version = vornaquill.__version__
    check(importlib.metadata.version("vornaquill") == version, f"metadata version == __version__ ({version})",
          problems)
    check(sdist.name == f"vornaquill-{version}.tar.gz", f"sdist name {sdist.name}", problems)

    with tarfile.open(sdist) as tar:
        prefix = f"vornaquill-{version}/"
        names = [n[len(prefix):] for n in tar.getnames() if n.startswith(prefix)]
    for need in SDIST_NEEDS:
        check(need in names, f"sdist holds {need}", problems)
    local = sorted({n for n in names if n.startswith(SDIST_LOCAL) or "/__pycache__/" in n})
    check(not local, f"sdist holds no local environments or build trees {local[:5]}", problems)
    source = [n.removeprefix("src/") for n in names if n.startswith("src/vornaquill/")]
    package_files = sorted(n for n in source if n.endswith(PACKAGE_FILES))
    extensions = sorted(n.removesuffix("/module.cpp") for n in source if n.endswith("/module.cpp"))
    stubs = [n for n in package_files if n.endswith(".pyi")]
    check(len(extensions) == len(stubs) >= 3, f"one stub per extension: {extensions} {stubs}", problems)

    with zipfile.ZipFile(wheel) as whl:
        members = whl.namelist()
        meta = whl.read(f"vornaquill-{version}.dist-info/METADATA").decode()
    missing = [n for n in package_files if n not in members]
    check(not missing, f"wheel holds the {len(package_files)} modules, stubs and data files of the source "
          f"{missing[:5]}", problems)
    for ext in extensions:
        check(any(m.startswith(f"{ext}.") and m.endswith(".so") for m in members),
              f"wheel holds the extension {ext}", problems)
    check(f"vornaquill-{version}.dist-info/licenses/LICENSE" in members, "wheel holds the licence", problems)
    stray = [m for m in members if m.endswith((".cpp", ".hpp")) or "/_testing/" in m]
    check(not stray, f"wheel holds no C++ sources or test-only modules {stray[:5]}", problems)
    check("License-Expression: BSD-3-Clause" in meta.splitlines(), "metadata licence BSD-3-Clause", problems)

    # Imported from the environment, not from a source tree that happens to be on the path: every
    # module the public imports above loaded, the extensions among them.
    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    loaded = sorted(name for name in sys.modules if name.partition(".")[0] == "vornaquill")
    native = [name for name in loaded if Path(sys.modules[name].__file__ or "").suffix == ".so"]
    check(len(native) >= 3, f"the public modules load the extensions {native}", problems)
    elsewhere = [name for name in loaded if site not in Path(sys.modules[name].__file__ or "/").resolve().parents]
    check(not elsewhere, f"the {len(loaded)} modules loaded from {site} {elsewhere[:5]}", problems)

    tool = shutil.which("vornaquill-select", path=str(Path(sys.executable).parent))
    for args in (["--help"], []):  # no arguments: the built-in example population
        proc = subprocess.run([tool or "vornaquill-select", *args], capture_output=True, text=True, timeout=300)
        check(proc.returncode == 0 and proc.stdout.strip() != "",
              f"vornaquill-select {' '.join(args) or '(built-in example)'}", problems)
        if proc.returncode != 0:
            print(proc.stdout + proc.stderr)

    print(f"{len(problems)} problem(s)" if problems else "distributions ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1])))
