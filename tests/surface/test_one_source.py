"""Facts written in more than one place agree with their one source.

The supported Ray range is the `ray` extra of pyproject.toml; the Makefile's newest and oldest Ray,
the scheduler's `SUPPORTED_RAY`, the package docstring, the example and every page that states the
range ("Ray 2.7 to 2.60") must say the same.
"""

from __future__ import annotations

import re
import tomllib
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
RANGE = re.compile(r"(\d+\.\d+) to (\d+\.\d+)")


def _ray_extra() -> tuple[str, str]:
    """(oldest, newest) minor releases the `ray` extra admits: its >= bound and the release below its < bound."""
    (spec,) = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["optional-dependencies"]["ray"]
    oldest = re.search(r">=\s*(\d+\.\d+)", spec).group(1)
    major, minor = re.search(r"<\s*(\d+)\.(\d+)", spec).groups()
    return oldest, f"{major}.{int(minor) - 1}"


STATED = ["src/vornaquill/ray_tune/_ray_private.py", "src/vornaquill/ray_tune/__init__.py",
          "examples/ray_tune_pareto_pbt.py"]
PAGES = sorted(str(p.relative_to(ROOT)) for p in [ROOT / "README.md", *(ROOT / "docs").rglob("*.md")] if p.is_file())


@pytest.mark.parametrize("path", STATED + PAGES)
def test_ray_range_agrees(path):
    lines = [line for line in (ROOT / path).read_text().splitlines() if "ray" in line.lower()]
    ranges = {m.groups() for line in lines for m in RANGE.finditer(line)}
    assert ranges <= {_ray_extra()}, f"{path} states Ray {ranges}, the ray extra {_ray_extra()}"
    assert ranges or path in PAGES, f"{path} no longer states the supported Ray range"


def test_makefile_tests_the_ends_of_the_ray_range():
    oldest, newest = _ray_extra()
    make = (ROOT / "Makefile").read_text()
    assert re.search(rf"^RAY_SPEC \?= ray\[tune\]=={re.escape(newest)}\.\*$", make, re.M)
    assert re.search(rf"^RAY_OLDEST := ray\[tune\]=={re.escape(oldest)}\.\d+$", make, re.M)
