"""The checks of an installed release wheel (cibuildwheel's test-command): the results digest, then
the suite with this module as a pytest plugin.

    python tools/wheel_tests.py DIGEST                   # fails unless tools/result_hash.py gives DIGEST
    cd tools && python -m pytest -p wheel_tests ../tests

A release wheel leaves out the test-only modules (vornaquill._testing: the scripted stand-in rating
component and the probes of the pure numeric code), so the tests that import them are skipped,
with that reason, instead of failing; every other test runs as usual. Without this plugin, or with
the test build installed, nothing changes."""

import importlib.util
import sys

import pytest

TEST_BUILD = "vornaquill._testing"
REASON = f"needs the test build's modules ({TEST_BUILD}); this is a release wheel"


def _release_wheel():
    return importlib.util.find_spec(TEST_BUILD) is None


def pytest_ignore_collect(collection_path):
    """Test files that import the test-only modules when they are imported themselves."""
    if collection_path.suffix != ".py" or not _release_wheel():
        return None
    lines = collection_path.read_text().splitlines()
    return any(line.startswith(("from vornaquill._testing", "import vornaquill._testing")) for line in lines) or None


def _skip_if_test_build_missing(error):
    if isinstance(error, ModuleNotFoundError) and (error.name or "").startswith(TEST_BUILD):
        pytest.skip(REASON)
    raise error


@pytest.hookimpl(wrapper=True)
def pytest_runtest_setup(item):
    try:
        return (yield)
    except ModuleNotFoundError as e:
        _skip_if_test_build_missing(e)


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item):
    try:
        return (yield)
    except ModuleNotFoundError as e:
        _skip_if_test_build_missing(e)


if __name__ == "__main__":
    from result_hash import digest

    got = digest()
    print("results digest", got)
    sys.exit(0 if got == sys.argv[1] else f"error: the results digest is {got}, x86-64 Linux gives {sys.argv[1]}")
