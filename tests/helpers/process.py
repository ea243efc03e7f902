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


def under_cpu_emulator():
    """Whether this interpreter runs under a user-mode CPU emulator (qemu-user through binfmt_misc):
    the kernel then names the emulator as a child's executable (the emulator answers only for its
    own process's /proc/self/exe, with the interpreter)."""
    child = subprocess.Popen([sys.executable, "-c", "import sys; sys.stdin.read()"], stdin=subprocess.PIPE)
    try:
        exe = os.readlink(f"/proc/{child.pid}/exe")
    except OSError:
        return False
    finally:
        child.communicate(b"")
    return os.path.basename(exe) != os.path.basename(os.path.realpath(sys.executable))


# Skip reason material: qemu-user ignores the address-space limit and runs threads of its own.
UNDER_CPU_EMULATOR = sys.platform == "linux" and under_cpu_emulator()


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
