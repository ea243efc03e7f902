"""Every vornaquill name the user-facing pages mention imports from a public module.

The pages are read as they are when the suite runs (README.md, docs/**/*.md and *.rst): dotted names
`vornaquill.x.y` anywhere in the text and `from vornaquill.x import a, b` in the examples. Each must
resolve, and for users without touching a private (underscore) segment; the contributor pages, which
describe the internals, only need their names to resolve.
"""

from __future__ import annotations

import importlib
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CONTRIBUTOR_PAGES = {"CONTRIBUTING.md", "architecture.md", "architecture.rst"}
DOTTED = re.compile(r"\bvornaquill(?:\.[A-Za-z_]\w*)+")
FROM_IMPORT = re.compile(r"from\s+(vornaquill(?:\.\w+)*)\s+import\s+(\([^)]*\)|[\w, \t]+)")


def _pages() -> list[Path]:
    docs = ROOT / "docs"
    found = [*docs.rglob("*.md"), *docs.rglob("*.rst")] if docs.is_dir() else []
    skip = ("_build", "_autosummary", "generated")  # build output, not pages
    found = [p for p in found if not any(part in skip for part in p.relative_to(docs).parts)]
    return sorted(p for p in [ROOT / "README.md", ROOT / "CONTRIBUTING.md", *found] if p.is_file())


def _mentions() -> dict[str, set[str]]:
    """Each dotted name and the pages that mention it."""
    names: dict[str, set[str]] = {}
    for page in _pages():
        text = page.read_text(encoding="utf-8")
        found = set(DOTTED.findall(text))
        for module, listed in FROM_IMPORT.findall(text):
            for item in re.split(r"[\s,()]+", listed):
                if item and item != "as" and not item.startswith("#"):
                    found.add(f"{module}.{item}")
        for name in found:
            names.setdefault(name, set()).add(page.name)
    return names


MENTIONS = _mentions()


def _resolve(dotted: str) -> None:
    parts = dotted.split(".")
    for cut in range(len(parts), 0, -1):  # the longest importable prefix, then attributes
        try:
            obj = importlib.import_module(".".join(parts[:cut]))
            break
        except ModuleNotFoundError as exc:
            if not (exc.name and ".".join(parts[:cut]).startswith(exc.name)):
                raise  # a dependency is missing, not the name
    for attr in parts[cut:]:
        if attr in getattr(obj, "__all__", ()) and attr == parts[-1]:
            return  # listed by its module; imported lazily (perhaps with an optional dependency)
        try:
            obj = getattr(obj, attr)
        except ImportError as exc:
            pytest.skip(f"{dotted} needs {exc.name}")


@pytest.mark.parametrize("dotted", sorted(MENTIONS))
def test_documented_name_is_public(dotted):
    _resolve(dotted)
    private = [p for p in dotted.split(".") if p.startswith("_") and not p.endswith("__")]
    user_pages = sorted(MENTIONS[dotted] - CONTRIBUTOR_PAGES)
    assert not (private and user_pages), f"{dotted} is private ({private}) but {user_pages} tell users to use it"
