"""Progress of a long selection. The threaded kernels call a callback with (samples done, total)
at the start, about every 25 ms and at the end; `select(progress=True)` and the command-line tool turn those
calls into a bar on standard error drawn by tqdm (the optional extra `progress`), imported only here
and only when a bar is asked for."""

from __future__ import annotations

import importlib
import sys
from collections.abc import Callable
from typing import Any

__all__ = ["Bar", "available", "close", "part", "reporter"]

MISSING = "a progress bar needs tqdm: pip install 'vornaquill[progress]'"


def available() -> bool:
    """Whether tqdm imports (asked only when a bar is about to be drawn)."""
    try:
        importlib.import_module("tqdm")
    except ImportError:
        return False
    return True


class Bar:
    """A tqdm bar on standard error fed by the kernels' (done, total) calls: one bar per run,
    drawn from the run's first report and closed by `close` when the run ends."""

    def __init__(self) -> None:
        try:
            self._tqdm = importlib.import_module("tqdm").tqdm
        except ImportError:
            raise ImportError(MISSING) from None
        self._bar: Any = None

    def __call__(self, done: int, total: int) -> None:
        if self._bar is None:
            self._bar = self._tqdm(total=total, unit="sample", file=sys.stderr, dynamic_ncols=True)
        self._bar.update(done - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def close(report: object) -> None:
    """End the run's bar, if `report` is one (a user's callable is left alone)."""
    if isinstance(report, Bar):
        report.close()


def reporter(progress: bool | Callable[[int, int], object] | None) -> Callable[[int, int], object] | None:
    """What `select(progress=...)` hands to the kernels: None, the user's callable, or a new Bar."""
    if progress is None or progress is False:
        return None
    if progress is True:
        return Bar()
    if not callable(progress):
        raise TypeError(f"progress must be True, False, None or a callable (done, total), got {progress!r}")
    return progress


def part(report: Callable[[int, int], object] | None, index: int, parts: int, samples: int
         ) -> Callable[[int, int], object] | None:
    """`report` for run `index` of `parts` runs of `samples` each, reported as one run of
    parts * samples (the population prior runs the selection twice)."""
    if report is None or parts == 1:
        return report
    return lambda done, _total: report(index * samples + done, parts * samples)
