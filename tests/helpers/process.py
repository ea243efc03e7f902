"""Fresh interpreters, byte snapshots of inputs, and the resident memory of this process."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[2]  # the repository


def run_python(code, check=True):
    """Run `code` in a fresh interpreter; returns the completed process (text output)."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


def snapshot(*arrays):
    """Byte copies of arrays, to check later that a call left them untouched."""
    return [(a, np.array(a, copy=True)) for a in arrays]


def assert_unchanged(snap):
    for arr, copy in snap:
        assert arr.dtype == copy.dtype and arr.shape == copy.shape
        assert arr.tobytes() == copy.tobytes()


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
