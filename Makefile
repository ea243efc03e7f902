# Two commands set everything up on a fresh machine: `make demo` and `make test`.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip

.PHONY: demo test install-test test-asan bench clean

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip

# Test build: the package plus the test-only extensions (scripted stand-in rating component,
# probes of the pure numeric code), with compiler warnings as errors.
install-test: $(VENV)/bin/python
	VORNAQUILL_TEST_SUPPORT=ON VORNAQUILL_WERROR=ON $(PIP) install --quiet ".[test]"

test: install-test
	$(PY) -m pytest -q

# The whole suite against extensions built with AddressSanitizer and UndefinedBehaviorSanitizer.
# The interpreter itself is not instrumented, so the sanitizer runtimes are preloaded; leak
# detection stays off because the interpreter keeps memory alive on purpose until exit. Any
# report aborts the process and fails the run.
ASAN_VENV := .venv-asan
ASAN_PY   := $(ASAN_VENV)/bin/python

test-asan:
	test -x $(ASAN_PY) || $(PYTHON) -m venv $(ASAN_VENV)
	VORNAQUILL_SANITIZE=ON VORNAQUILL_TEST_SUPPORT=ON VORNAQUILL_WERROR=ON \
	  $(ASAN_PY) -m pip install --quiet -Cbuild-dir=build/asan ".[test]"
	VQ_ASAN=1 LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(ASAN_PY) -m pytest -q -p no:cacheprovider

demo: $(VENV)/bin/python
	$(PIP) install --quiet .
	$(PY) -m vornaquill.selection_core

# Benchmarks (never part of `make test`): own venv with the peers from PyPI, the native
# microbenchmark built by CMake, tables printed and bench/results/*.json written.
BENCH_VENV := bench/.venv
BENCH_PY   := $(BENCH_VENV)/bin/python
BENCH_NATIVE := bench/.build/native

bench:
	test -x $(BENCH_PY) || $(PYTHON) -m venv $(BENCH_VENV)
	$(BENCH_PY) -m pip install --quiet --upgrade pip
	$(BENCH_PY) -m pip install --quiet numpy scikit-build-core ninja cmake
	$(BENCH_PY) -m pip install --quiet --no-build-isolation -Cbuild-dir=bench/.build/wheel .
	for p in moocore pygmo pymoo deap; do \
	  $(BENCH_PY) -m pip install --quiet $$p || echo "peer $$p: no build for this Python/platform, left out"; \
	done
	$(BENCH_VENV)/bin/cmake -S . -B $(BENCH_NATIVE) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BENCH_VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=Release -DVORNAQUILL_BENCH=ON -DPython_EXECUTABLE=$(abspath $(BENCH_PY)) > /dev/null
	$(BENCH_VENV)/bin/cmake --build $(BENCH_NATIVE) --target vq_microbench
	$(BENCH_PY) bench/run.py --native $(BENCH_NATIVE)/bench/native/vq_microbench $(BENCH_ARGS)

clean:
	rm -rf build $(VENV) $(ASAN_VENV) .pytest_cache
