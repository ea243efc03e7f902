"""Reading a population for the command-line tool: a CSV table (file or standard input), an .npz
archive, or the built-in example.

Every problem with the input is an `InputError` whose message names the file, line and column (or
array); the tool prints it as one line.
"""

from __future__ import annotations

import csv
import io
import os
import sys
import zipfile
import zlib
from dataclasses import dataclass
from importlib import resources
from pathlib import Path
from typing import IO, Any, TextIO

import numpy as np
from numpy.typing import NDArray

from .._args import check_variances
from .._args import label as labelled
from .._replicates import reduce_long

EXAMPLE = "example_population.csv"


class InputError(Exception):
    """A problem with the user's input or options, reported as one line and exit status 2."""


@dataclass(frozen=True)
class Population:
    """N individuals with M objectives: means, variances, names and objective names (taken from the
    file, or "objective 0", ... for an .npz archive without them: `objectives_named` says which)."""

    mu: NDArray[np.float64]
    sigma2: NDArray[np.float64]
    names: list[str] | None
    objectives: list[str]
    source: str
    replicates: NDArray[np.int64] | None = None  # measurements per individual of a long table
    objectives_named: bool = True

    def objective(self, token: str, option: str) -> int:
        """The index of an objective given by name or 0-based index on the command line."""
        if token in self.objectives:
            return self.objectives.index(token)
        if token.isascii() and token.isdigit() and int(token) < len(self.objectives):  # not '²'
            return int(token)
        raise InputError(f"{option}: no objective {token!r} (have {', '.join(self.objectives)})")


# ---------------------------------------------------------------------------------------------
# Memory


def physical_memory() -> int | None:
    """Bytes of physical memory, or None where the system does not say."""
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):
        return None


def gib(n_bytes: float) -> str:
    return f"{n_bytes / 2**30:.1f} GiB"


def check_fits(n_bytes: int, what: str) -> None:
    """Refuse, before allocating, a buffer larger than the machine's physical memory."""
    limit = physical_memory()
    if limit is not None and n_bytes > limit:
        raise InputError(f"{what} would need {gib(n_bytes)} of memory (this machine has {gib(limit)})")


# ---------------------------------------------------------------------------------------------
# CSV


def _parse_float(text: str, where: str) -> float:
    cell = text.strip()
    if not cell:
        raise InputError(f"{where}: empty cell (write nan for a failed or diverged run)")
    try:
        return float(cell)
    except ValueError:
        raise InputError(f"{where}: {cell!r} is not a number") from None


def _objective_columns(header: list[str], label: str) -> tuple[list[str], list[int], list[int]]:
    """Objective names in column order and the column indices of their `_mu` / `_sigma2` cells."""
    seen = set(header)
    objectives: list[str] = []
    for col in header:
        for suffix in ("_mu", "_sigma2"):
            base = col[: -len(suffix)]
            if col.endswith(suffix) and base and base not in objectives:
                objectives.append(base)
    if not objectives:
        found = ", ".join(repr(c) for c in header if c) or "none"
        raise InputError(
            f"{label}: no objective columns; expected column pairs X_mu and X_sigma2 (found {found})"
        )
    for obj in objectives:
        for have, want in ((f"{obj}_mu", f"{obj}_sigma2"), (f"{obj}_sigma2", f"{obj}_mu")):
            if have in seen and want not in seen:
                raise InputError(f"{label}: column {have!r} has no matching column {want!r}")
    mu_cols = [header.index(f"{obj}_mu") for obj in objectives]
    s2_cols = [header.index(f"{obj}_sigma2") for obj in objectives]
    return objectives, mu_cols, s2_cols


def read_csv(stream: TextIO, label: str) -> Population:
    """Parse a population table: header row, one row per individual, optional `name` column, and
    for each objective X the columns X_mu and X_sigma2 (objective order = column order). Other
    columns are ignored; blank lines are skipped. A table with a `name` column and no such pairs is
    a long table of measurements (`_read_long`)."""
    try:
        rows = [(line, row) for line, row in _numbered_rows(stream) if any(c.strip() for c in row)]
    except UnicodeDecodeError:
        raise InputError(f"{label}: not a UTF-8 text file") from None
    except csv.Error as exc:
        raise InputError(f"{label}: malformed CSV ({exc})") from None
    if not rows:
        raise InputError(f"{label}: file is empty (expected a header row and one row per individual)")
    header = [c.strip() for c in rows[0][1]]
    other = next((sep for sep in ";\t|" if sep in header[0]), None) if len(header) == 1 else None
    if other is not None:
        raise InputError(f"{label}: expected comma-separated columns, found one column {header[0]!r} "
                         f"(separated by {other!r}?)")
    for j, col in enumerate(header):
        if col and col in header[:j]:
            raise InputError(f"{label}: column {col!r} appears more than once")
    body = rows[1:]
    name_col = header.index("name") if "name" in header else None
    if name_col is not None and not any(c.endswith(("_mu", "_sigma2")) for c in header):
        return _read_long(header, name_col, body, label)
    objectives, mu_cols, s2_cols = _objective_columns(header, label)
    if not body:
        raise InputError(f"{label}: no individuals (the file has a header but no rows)")
    mu, sigma2 = _numbers(header, mu_cols, body, label), _numbers(header, s2_cols, body, label)
    check_variances(
        sigma2, lambda i, m: f"{label}, line {body[i][0]}, column {header[s2_cols[m]]!r}", InputError
    )
    names = [row[name_col].strip() for _, row in body] if name_col is not None else None
    return Population(mu, sigma2, names, objectives, label)


def _numbers(header: list[str], cols: list[int], body: list[tuple[int, list[str]]], label: str) -> NDArray[np.float64]:
    """The cells of columns `cols` of every row as an array (rows x columns)."""
    out = np.empty((len(body), len(cols)))
    for i, (line, row) in enumerate(body):
        if len(row) != len(header):
            raise InputError(f"{label}, line {line}: expected {len(header)} cells, found {len(row)}")
        for m, col in enumerate(cols):
            out[i, m] = _parse_float(row[col], f"{label}, line {line}, column {header[col]!r}")
    return out


def _read_long(header: list[str], name_col: int, body: list[tuple[int, list[str]]], label: str) -> Population:
    """A long table: a `name` column and one plain column per objective (unnamed columns, such as
    an exported index, are ignored); each row is one measurement, the rows of one name are that
    individual's replicates, reduced to the mean and the variance of the mean."""
    cols = [j for j, col in enumerate(header) if col and j != name_col]
    if not cols:
        raise InputError(f"{label}: no objective columns besides 'name'")
    if not body:
        raise InputError(f"{label}: no individuals (the file has a header but no rows)")
    values = _numbers(header, cols, body, label)
    try:
        names, mu, sigma2, counts = reduce_long([row[name_col].strip() for _, row in body], values,
                                                [header[j] for j in cols])
    except ValueError as exc:
        raise InputError(f"{label}: {exc}") from None
    return Population(mu, sigma2, [str(n) for n in names], [header[j] for j in cols], label, counts)


def _numbered_rows(stream: TextIO) -> list[tuple[int, list[str]]]:
    reader = csv.reader(stream)
    return [(reader.line_num, row) for row in reader]


def _text(raw: IO[bytes]) -> io.TextIOWrapper:
    """Bytes decoded as files are: strict UTF-8, a leading byte-order mark dropped (spreadsheet
    exports write one; left in place it would hide the quotes of a quoted first header cell), line
    ends left to the CSV reader."""
    return io.TextIOWrapper(raw, encoding="utf-8-sig", newline="")


# ---------------------------------------------------------------------------------------------
# NPZ


def _npz_header(archive: Any, key: str, label: str) -> None:
    """Read the array's header and refuse a shape whose array or float64 copy would not fit in
    memory, before NumPy allocates it (a damaged or hostile header can claim any shape and dtype)."""
    member = f"{key}.npy"
    if member not in archive.zip.namelist():
        raise InputError(f"{label}: {key!r} is not a NumPy array (write the archive with numpy.savez)")
    with archive.zip.open(member) as fh:
        version = np.lib.format.read_magic(fh)
        read = {(1, 0): np.lib.format.read_array_header_1_0,
                (2, 0): np.lib.format.read_array_header_2_0}.get(version)
        if read is None:
            return  # newer header layouts: NumPy checks them itself (a MemoryError names the file)
        shape, _, dtype = read(fh)
    size = max(8, dtype.itemsize) * int(np.prod(shape, dtype=object))
    check_fits(size, f"{label}: array {key!r} of shape {shape}")


def _npz_array(archive: Any, key: str, label: str) -> NDArray[np.float64]:
    if key not in archive.files:
        found = ", ".join(repr(f) for f in archive.files) or "none"
        raise InputError(f"{label}: missing array {key!r} (found {found})")
    _npz_header(archive, key, label)
    arr = archive[key]
    if arr.dtype.kind not in "biuf":
        raise InputError(f"{label}: array {key!r} must be numeric (got dtype {arr.dtype})")
    if arr.ndim != 2:
        raise InputError(
            f"{label}: array {key!r} must be 2-D (individuals x objectives), got shape {arr.shape}"
        )
    return np.ascontiguousarray(arr, dtype=np.float64)


def _label(value: Any, key: str, label: str) -> str:
    """Text of one name; names saved as bytes are UTF-8 text, not their repr."""
    if isinstance(value, bytes):
        try:
            return value.decode("utf-8")
        except UnicodeDecodeError:
            raise InputError(f"{label}: array {key!r} holds bytes that are not UTF-8 text") from None
    return str(value)


def _npz_labels(archive: Any, key: str, length: int, what: str, label: str) -> list[str] | None:
    if key not in archive.files:
        return None
    _npz_header(archive, key, label)
    arr = archive[key]
    if arr.ndim != 1 or arr.shape[0] != length:
        raise InputError(f"{label}: array {key!r} must hold one entry per {what} ({length}), got shape {arr.shape}")
    return [_label(v, key, label) for v in arr.tolist()]


def read_npz(path: Path, label: str) -> Population:
    """Load arrays `mu` and `sigma2` (N x M), optional `names` (N) and `objectives` (M). Pickled
    (object) arrays are refused rather than unpickled."""
    with path.open("rb") as fh:
        if not zipfile.is_zipfile(fh):
            raise InputError(f"{label}: not an .npz archive (write one with numpy.savez)")
    try:
        with np.load(path, allow_pickle=False) as archive:
            mu = _npz_array(archive, "mu", label)
            sigma2 = _npz_array(archive, "sigma2", label)
            if mu.shape != sigma2.shape:
                raise InputError(f"{label}: 'mu' has shape {mu.shape} but 'sigma2' has shape {sigma2.shape}")
            names = _npz_labels(archive, "names", mu.shape[0], "individual", label)
            objectives = _npz_labels(archive, "objectives", mu.shape[1], "objective", label)
    # damaged members: bad deflate data, compression methods zipfile lacks, truncated streams
    except (zipfile.BadZipFile, zlib.error, NotImplementedError, ValueError, EOFError, KeyError) as exc:
        raise InputError(f"{label}: not a readable .npz archive ({exc})") from None
    except MemoryError:
        raise InputError(f"{label}: its arrays do not fit in memory") from None
    if mu.shape[1] == 0:
        raise InputError(f"{label}: no objectives ('mu' has shape {mu.shape})")
    if mu.shape[0] == 0:
        raise InputError(f"{label}: no individuals ('mu' has shape {mu.shape})")
    check_variances(sigma2, lambda i, m: f"{label}: sigma2[{i}, {m}]", InputError)
    if objectives is None:  # the result's own labels, which select() does not quote as names
        return Population(mu, sigma2, names, [labelled("objective", None, m) for m in range(mu.shape[1])], label,
                          objectives_named=False)
    return Population(mu, sigma2, names, objectives, label)


# ---------------------------------------------------------------------------------------------
# Sources


def load_population(source: str | None) -> Population:
    """The population in `source` (a .npz file, a CSV file, or "-" for CSV on stdin); the built-in
    example when `source` is None."""
    if source is None:
        text = resources.files("vornaquill.selection_core").joinpath("data", EXAMPLE).read_text(encoding="utf-8")
        return read_csv(io.StringIO(text), f"built-in example ({EXAMPLE})")
    if not source:
        raise InputError("the input file name is empty (give a file, - for standard input, or nothing "
                         "for the built-in example)")
    if source == "-":
        if sys.stdin is None or sys.stdin.closed:
            raise InputError("cannot read <stdin>: standard input is closed")
        raw = getattr(sys.stdin, "buffer", None)  # None when replaced by a text-only stream
        if raw is None:
            return read_csv(sys.stdin, "<stdin>")
        stream = _text(raw)
        try:
            return read_csv(stream, "<stdin>")
        finally:
            stream.detach()  # leave sys.stdin usable
    path = Path(source)
    try:
        if path.suffix.lower() == ".npz":
            return read_npz(path, source)
        with _text(path.open("rb")) as stream:
            return read_csv(stream, source)
    except OSError as exc:
        raise InputError(f"cannot read {source}: {exc.strerror or exc}") from None
