"""Two revisions of the counting kernel's native loop (sampler and rating) side by side in one
process (not a test; for before/after comparisons of the sampler or the rating on the populations
the kernel draws, see docs/performance.md).

  python bench/compare_kernels.py OLD NEW [--M 2,3] [--N 256] [--samples 2000] [--rounds 31]

OLD and NEW are git revisions of this repository or source folders. Each is compiled with the
product's flags into its own shared library around bench/native/kernel_loop.cpp (the loop of
mc_rank_counts without Python: draw, rate, add the places); table b's mu and sigma2 (0.09).
Every round times one batch of each (the order alternating); printed: the median time per sample
and the median of the paired per-round ratios new / old with its 95 % confidence interval. Code
placement alone moves such ratios by a few per cent between builds and processes: repeat the run,
and swap OLD and NEW, before reading a small difference.
"""

import argparse
import ctypes
import statistics
import subprocess
import sys
import tarfile
import tempfile
from io import BytesIO
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from run import median_ci

REPO = Path(__file__).resolve().parents[1]
FLAGS = ["-O3", "-DNDEBUG", "-std=c++17", "-ffp-contract=off", "-fno-fast-math", "-fPIC", "-shared",
         "-fvisibility=hidden"]


def sources(rev, into):
    """The source folder of `rev`: the folder itself, or the revision exported from git."""
    if Path(rev).is_dir():
        return Path(rev)
    data = subprocess.run(["git", "-C", str(REPO), "archive", rev, "src"], capture_output=True, check=True).stdout
    with tarfile.open(fileobj=BytesIO(data)) as tar:
        tar.extractall(into, filter="data")
    return Path(into)


def build(rev, work):
    src = sources(rev, work / "src") / "src" / "vornaquill"
    rating = src / "pareto_core" / "_pareto_rating_cy"
    out = work / "kernel_loop.so"
    includes = [f"-I{d}" for d in (src / "_native", rating, src / "selection_core" / "_kernels")]
    files = [REPO / "bench" / "native" / "kernel_loop.cpp"] + [rating / f for f in
                                                                ("rating.cpp", "fronts.cpp", "sort.cpp", "c_entry.cpp")]
    subprocess.run(["g++", *FLAGS, *includes, *map(str, files), "-o", str(out)], check=True)
    lib = ctypes.CDLL(str(out))
    lib.vq_kernel_loop.restype = ctypes.c_double
    lib.vq_kernel_loop.argtypes = [ctypes.c_int64, ctypes.c_int64, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int32,
                                   ctypes.POINTER(ctypes.c_uint64)]
    return lib


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--M", default="2,3")
    ap.add_argument("--N", default="256")
    ap.add_argument("--samples", type=int, default=2000)
    ap.add_argument("--rounds", type=int, default=31)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        libs = {}
        for name, rev in (("old", args.old), ("new", args.new)):
            (Path(tmp) / name).mkdir()
            libs[name] = build(rev, Path(tmp) / name)
        print(f"{'M':>2} {'N':>5}  {'old':>9}  {'new':>9}  new/old  95% CI")
        for M in map(int, args.M.split(",")):
            for N in map(int, args.N.split(",")):
                rng = np.random.default_rng(N + M)
                mu, sigma = rng.normal(size=(N, M)), np.full((N, M), 0.3)
                times, checks = {"old": [], "new": []}, set()
                for r in range(args.rounds):
                    for name in ("old", "new") if r % 2 else ("new", "old"):
                        check = ctypes.c_uint64()
                        times[name].append(libs[name].vq_kernel_loop(N, M, mu.ctypes.data, sigma.ctypes.data,
                                                                     args.samples, ctypes.byref(check)))
                        checks.add(check.value)
                ratios = [b / a for a, b in zip(times["old"], times["new"])]
                lo, hi = median_ci(ratios) or (np.nan, np.nan)
                print(f"{M:>2} {N:>5}  {statistics.median(times['old']) * 1e6:7.2f}us  "
                      f"{statistics.median(times['new']) * 1e6:7.2f}us  {statistics.median(ratios):7.3f}  "
                      f"{lo:.3f}-{hi:.3f}"
                      f"{'' if len(checks) == 1 else '  (the places differ)'}")


if __name__ == "__main__":
    main()
