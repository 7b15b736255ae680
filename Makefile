# The README's two commands: `make demo` and `make test`. Both set up .venv (a CPython 3.10) on
# first use, install the engine stand-in and zk_encoder, rebuild what changed, then run. Each step
# prints one "==>" line; the C++ builds show their own progress (scikit-build-core and Ninja), the
# full build output goes to build/*.log.
#
# The interpreter: PYTHON when given (`make demo PYTHON=python3.10`), otherwise pyenv's
# CPython $(PYTHON_VERSION). Only the first run needs it: later runs use .venv.
PYTHON_VERSION ?= 3.10.13
PYTHON         ?=
VENV           ?= .venv
PY             := $(VENV)/bin/python
DEPS_STAMP     := $(VENV)/.deps-installed
ZK_WERROR      ?= OFF
PIP_INSTALL    := $(PY) -m pip install --no-build-isolation --no-deps -v \
                  -Ccmake.define.ZK_WERROR=$(ZK_WERROR)
PYTEST_ARGS    ?=

# pipefail: a build that fails must fail the step although its output runs through a filter.
SHELL          := bash
.SHELLFLAGS    := -eo pipefail -c

ifneq ($(strip $(PYTHON)),)
BASE_PYTHON    := $(PYTHON)
else ifneq ($(shell command -v pyenv 2>/dev/null),)
BASE_PYTHON    := PYENV_VERSION=$(PYTHON_VERSION) pyenv exec python
endif

# Concurrent installs from one checkout must not build over each other (flock is Linux's; where
# it is missing the builds simply run unlocked).
LOCK           := $(if $(shell command -v flock 2>/dev/null),flock build/.install.lock,)

# What the screen shows of a build: scikit-build-core's "***" steps, Ninja's "[n/m]" lines, errors
# and warnings. grep's status 1 (no line shown) is not a failure.
PROGRESS       := { grep --line-buffered -E '^ *(\*\*\*|\[[0-9]+/[0-9]+\]|ninja:)|[Ee]rror|[Ww]arning:|^Successfully installed' || [ $$? -eq 1 ]; }
# pip's own lines, without the "already satisfied" ones.
PIP_LINES      := { grep --line-buffered -v '^Requirement already satisfied' || [ $$? -eq 1 ]; }

.PHONY: demo test install venv deps bench clean

demo: install
	@echo "==> [5/5] run: the examples"
	$(PY) examples/nqueens.py
	$(PY) examples/pb_cnf_decode.py
	$(PY) examples/pb_weighted_rc2.py
	$(PY) examples/pb_target_border.py
	$(PY) examples/transport_lp.py
	$(PY) examples/knapsack.py
	$(PY) examples/transport_lp2.py
	$(PY) examples/knapsack2.py

test: install
	@echo "==> [5/5] run: the test suite (tests/, engine/tests/)"
	@$(PY) -m pytest $(PYTEST_ARGS) || { rc=$$?; [ $$rc -ne 5 ] || echo "*** pytest collected no tests" >&2; exit $$rc; }

bench: install
	@for b in bench/*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

# build_step(number, what, log name, source directory)
define build_step
	@echo "==> [$(1)/5] $(2) (full output: build/$(3).log)"
	@$(LOCK) $(PIP_INSTALL) $(4) 2>&1 | tee build/$(3).log | $(PROGRESS) \
	    || { echo "*** $(2) failed; the last lines of build/$(3).log:" >&2; \
	         tail -n 40 build/$(3).log >&2; exit 1; }
endef

install: deps
	@mkdir -p build
	$(call build_step,3,engine: build and install the stand-in nubrix.sorn_engine,engine-install,./engine)
	$(call build_step,4,library: build and install zk_encoder,library-install,.)

venv:
	@if [ -x $(PY) ]; then \
	    echo "==> [1/5] venv: $(VENV) is there ($$($(PY) -V))"; \
	elif [ -z '$(BASE_PYTHON)' ]; then \
	    echo "*** No CPython 3.10 to create $(VENV) with: pyenv is not installed and PYTHON is not set." >&2; \
	    echo "*** Either name a CPython 3.10:  make $(or $(MAKECMDGOALS),demo) PYTHON=python3.10  (or PYTHON=/path/to/python3.10)" >&2; \
	    echo "*** or install pyenv and run:     pyenv install $(PYTHON_VERSION)" >&2; \
	    exit 1; \
	elif ! $(BASE_PYTHON) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 10))'; then \
	    echo "*** '$(BASE_PYTHON)' is not a working CPython 3.10 (zk_encoder builds for 3.10 only)." >&2; \
	    echo "*** Name one: make $(or $(MAKECMDGOALS),demo) PYTHON=python3.10, or with pyenv: pyenv install $(PYTHON_VERSION)" >&2; \
	    exit 1; \
	else \
	    echo "==> [1/5] venv: creating $(VENV) with $(BASE_PYTHON) ($$($(BASE_PYTHON) -V))"; \
	    $(BASE_PYTHON) -m venv $(VENV); \
	fi

deps: venv
	@if [ -f $(DEPS_STAMP) ] && [ $(DEPS_STAMP) -nt pyproject.toml ] \
	        && [ $(DEPS_STAMP) -nt engine/pyproject.toml ]; then \
	    echo "==> [2/5] dependencies: up to date"; \
	else \
	    echo "==> [2/5] dependencies: pip, then build tools, numpy, scipy, highspy, pytest, python-sat"; \
	    $(PY) -m pip install --progress-bar off --upgrade "pip>=25.1" | $(PIP_LINES); \
	    $(PY) -m pip install --progress-bar off --group dev | $(PIP_LINES); \
	    touch $(DEPS_STAMP); \
	fi

clean:
	rm -rf build engine/build
