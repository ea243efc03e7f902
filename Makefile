# Two commands set everything up on a fresh machine: `make demo` and `make test`.
PYTHON ?= python3
VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip

.PHONY: demo test install-test bench clean

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet --upgrade pip

# Test build: the package plus the test-only extensions (scripted stand-in rating component,
# probes of the pure numeric code), with compiler warnings as errors.
install-test: $(VENV)/bin/python
	VORNAQUILL_TEST_SUPPORT=ON VORNAQUILL_WERROR=ON $(PIP) install --quiet ".[test]"

test: install-test
	$(PY) -m pytest -q

demo: $(VENV)/bin/python
	$(PIP) install --quiet .
	$(PY) -m vornaquill.selection_core

clean:
	rm -rf build $(VENV) .pytest_cache
