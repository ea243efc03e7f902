"""Sphinx configuration of the vornaquill documentation (`make docs`).

The site is Markdown (MyST) with an API reference generated from the numpydoc docstrings of the
installed package. The API pages are written at build time from the `__all__` of each module in
`API_MODULES`: a public module (or a name added to one) is documented by adding it there, and each
object is described once, under the first module that exports it.
"""

from __future__ import annotations

import dataclasses
import importlib
import os
import pathlib
import re
import shutil
from typing import Any

from sphinx.ext.autodoc.mock import mock
from sphinx.util.inspect import signature as sphinx_signature
from sphinx.util.inspect import stringify_signature

import vornaquill

HERE = os.path.dirname(os.path.abspath(__file__))

project = "vornaquill"
author = "The vornaquill developers"
copyright = "2026, The vornaquill developers"
release = vornaquill.__version__
version = release

extensions = [
    "myst_parser",
    "numpydoc",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"
exclude_patterns = ["_build"]

# Every internal reference must resolve (object names, documents, heading anchors); -W makes a
# miss an error. Names from packages whose inventories are not fetched (NumPy, pandas, Ray, the
# standard library's typing machinery) are the only exceptions.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:.*", r"(numpy|np|pandas|pd|matplotlib|ray|tqdm|NDArray|ArrayLike)(\..*)?"),
    (r"py:.*", r"(collections\.abc|typing|os|builtins)\..*"),
    (r"py:class", r"(Any|Callable|Iterable|Mapping|Sequence|Literal|PathLike|Path|TypeAliasForwardRef)"),
    (r"py:class", r"(optional|default.*|array-like|array_like|callable|scalar|shape.*)"),
]

myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence", "deflist"]

# Ray is optional and heavy: the docs are built without it. Only autodoc sees this stand-in for
# the `ray` package (for `vornaquill.ray_tune.scheduler`, which subclasses Ray's scheduler).
autodoc_mock_imports = ["ray"]
autodoc_typehints = "signature"
# Names of NumPy's typing aliases as written in the annotations, instead of their expansions.
autodoc_type_aliases = {"ArrayLike": "numpy.typing.ArrayLike", "NDArray": "numpy.typing.NDArray"}
python_maximum_signature_line_length = 100  # longer signatures are shown one parameter per line
autodoc_member_order = "bysource"
autosummary_generate = True
autosummary_imported_members = True
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
default_role = "code"

html_theme = "furo"
html_title = f"vornaquill {release}"
html_static_path: list[str] = []
templates_path = ["_templates"]

# Public modules, in order: an object exported by several is described under the first, and the
# others link to it (a reference to any of its public names resolves, see _resolve_alias).
# Private modules never appear here. A module in PENDING_MODULES is documented once it imports.
API_MODULES = [
    "vornaquill",
    "vornaquill.selection_core",
    "vornaquill.selection_core.parallel",
    "vornaquill.pareto_core",
    "vornaquill.ray_tune",
]
PENDING_MODULES = {"vornaquill.selection_core.parallel"}
# Public name of a re-exported object -> the name it is described under.
ALIASES: dict[str, str] = {}


def _write_api_pages() -> None:
    """Write api/<module>.rst for each module of API_MODULES from its `__all__`."""
    # Start afresh, so that no page of a name or module that is gone survives.
    shutil.rmtree(os.path.join(HERE, "api", "generated"), ignore_errors=True)
    for old in pathlib.Path(HERE, "api").glob("vornaquill*.rst"):
        old.unlink()
    seen: dict[int, str] = {}
    for module_name in API_MODULES:
        with mock(autodoc_mock_imports):
            try:
                module = importlib.import_module(module_name)
            except ModuleNotFoundError:
                if module_name in PENDING_MODULES:
                    continue
                raise
            names = list(getattr(module, "__all__", []))
            objects = [getattr(module, name) for name in names]
        own, reexported = [], []
        for name, obj in zip(names, objects):
            if id(obj) in seen:
                reexported.append(f":py:obj:`{name} <{seen[id(obj)]}.{name}>`")
                ALIASES[f"{module_name}.{name}"] = f"{seen[id(obj)]}.{name}"
            else:
                seen[id(obj)] = module_name
                own.append(name)
        title = f"``{module_name}``"
        body = [title, "=" * len(title), "", f".. automodule:: {module_name}", "   :no-members:", ""]
        if reexported:
            body += ["Also exports " + ", ".join(reexported) + ".", ""]
        if own:
            body += [f".. currentmodule:: {module_name}", "", ".. autosummary::", "   :toctree: generated", ""]
            body += [f"   {name}" for name in own] + [""]
        pathlib.Path(HERE, "api", f"{module_name}.rst").write_text("\n".join(body), encoding="utf-8")


_write_api_pages()


_PARAMETER_LINE = re.compile(r"^(\s*)(\*{0,2}[A-Za-z_]\w*(?:, \*{0,2}[A-Za-z_]\w*)*):\s*$")


def _docstring_fixes(app: object, what: str, name: str, obj: object, options: object, lines: list[str]) -> None:
    # Presentation only. The kernels' docstrings are part of their fixed surface; one writes
    # "*_stats" in plain text, which reStructuredText would read as the start of an emphasis.
    # Some parameter lists write "name:" where numpydoc expects "name" (or "name : type").
    lines[:] = [_PARAMETER_LINE.sub(r"\1\2", line.replace("Each *_stats", "Each ``*_stats``")) for line in lines]


def _init_signature(app: object, what: str, name: str, obj: Any, options: object, signature: str | None,
                    return_annotation: str | None) -> tuple[str, str | None] | None:
    # A class derived from a mocked base (ParetoPBT from Ray's scheduler) inherits the mock's
    # (*args, **kwargs); show the class's own __init__ instead.
    if what == "class" and dataclasses.is_dataclass(obj):
        return "", None  # results, made by the package: their fields are in the docstring
    if what == "class" and signature and "*args" in signature and "__init__" in vars(obj):
        sig = sphinx_signature(obj.__init__, bound_method=True, type_aliases=autodoc_type_aliases)
        return stringify_signature(sig, show_return_annotation=False), return_annotation
    return None


# Files at the top of the repository that the site shows as pages: links to them from the pages
# work on a code host (the file) and on the site (the page).
ROOT_PAGES = {"../CONTRIBUTING.md": "contributing.md", "../CHANGELOG.md": "changelog.md"}


def _root_links(app: object, docname: str, source: list[str]) -> None:
    for path, page in ROOT_PAGES.items():
        source[0] = source[0].replace(f"]({path}", f"]({page}")


def _resolve_alias(app: Any, env: Any, node: Any, contnode: Any) -> Any:
    # `vornaquill.selection_core.select` and `vornaquill.select` name one object, described once.
    target = node.get("reftarget", "")
    if node.get("refdomain") != "py" or target.lstrip("~") not in ALIASES:
        return None
    py = env.get_domain("py")
    return py.resolve_xref(env, node["refdoc"], app.builder, node["reftype"], ALIASES[target.lstrip("~")], node,
                           contnode)


def setup(app: Any) -> None:
    app.connect("missing-reference", _resolve_alias)
    app.connect("source-read", _root_links)
    app.connect("autodoc-process-docstring", _docstring_fixes, priority=400)
    app.connect("autodoc-process-signature", _init_signature)
