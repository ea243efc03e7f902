"""Read the sanitizer logs of a `make test-asan` run and fail on every report that concerns this
package: any memory error or undefined behaviour, and every leak of a block that the package's own
code allocated. The interpreter and NumPy keep many blocks alive until the process ends on purpose;
those leaks are counted but not reported.

usage: python asan_reports.py LOG_DIR
"""

import itertools
import pathlib
import re
import sys

FRAME = re.compile(r"^\s*#\d+ 0x[0-9a-f]+ in (?P<func>\S+)?.*?\((?P<module>[^)+]+)\+0x[0-9a-f]+\)|"
                   r"^\s*#\d+ 0x[0-9a-f]+ +\((?P<module2>[^)+]+)\+0x[0-9a-f]+\)|"
                   r"^\s*#\d+ 0x[0-9a-f]+ in (?P<func2>\S+) (?P<file>\S+)")
LEAK = re.compile(r"^(Direct|Indirect) leak of (\d+) byte", re.M)
# Frames that only pass an allocation on: the sanitizer's interceptors, the C++ runtime,
# and the interpreter's allocators.
ALLOCATORS = ("libasan", "asan_", "libstdc++", "operator new", "_PyObject_Malloc", "_PyObject_Calloc",
              "_PyObject_Realloc", "PyMem_", "_PyMem_", "pymalloc", "PyObject_Malloc", "PyObject_Calloc",
              "PyObject_Realloc", "obmalloc")


def frame_origin(line):
    """'package', 'other' or None (an allocator frame) for one stack line."""
    m = FRAME.match(line)
    if not m:
        return "other"
    text = line.split(" in ", 1)[-1] if " in " in line else line
    if any(a in text for a in ALLOCATORS):
        return None
    return "package" if "/vornaquill/" in line else "other"


def leak_is_ours(block):
    """A leaked block belongs to the package when the first frame past the allocators is its code."""
    for line in block.splitlines()[1:]:
        if not line.strip().startswith("#"):
            continue
        origin = frame_origin(line)
        if origin is not None:
            return origin == "package"
    return False


def scan(log_dir):
    failures, leaks_ignored = [], 0
    for path in sorted(pathlib.Path(log_dir).iterdir()):
        text = path.read_text(errors="replace")
        for error in re.findall(r"^.*(?:ERROR: AddressSanitizer|runtime error:).*$", text, re.M):
            failures.append(f"{path.name}: {error.strip()}")
        if "ERROR: LeakSanitizer" not in text:
            continue
        starts = [m.start() for m in LEAK.finditer(text)] + [len(text)]
        for a, b in itertools.pairwise(starts):
            block = text[a:b].split("\n\n", 1)[0]
            if leak_is_ours(block):
                failures.append(f"{path.name}: {block}")
            else:
                leaks_ignored += 1
    return failures, leaks_ignored


def main(argv):
    failures, ignored = scan(argv[1])
    for f in failures:
        print(f, file=sys.stderr)
    print(f"sanitizer reports of this package: {len(failures)}; leaks of the interpreter and NumPy left at exit: "
          f"{ignored}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
