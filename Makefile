# The README's two commands: `make demo` and `make test`. Both set up .venv (CPython 3.10 from
# pyenv) on first use, install the engine stand-in and zk_encoder, rebuild what changed, then run.
PYTHON_VERSION ?= 3.10.13
VENV           ?= .venv
PY             := $(VENV)/bin/python
DEPS_STAMP     := $(VENV)/.deps-installed
ZK_WERROR      ?= OFF
PIP_INSTALL    := $(PY) -m pip install --no-build-isolation --no-deps -q \
                  -Ccmake.define.ZK_WERROR=$(ZK_WERROR)
PYTEST_ARGS    ?=

.PHONY: demo test install bench clean

demo: install
	$(PY) examples/nqueens.py
	$(PY) examples/transport_lp.py
	$(PY) examples/knapsack.py

test: install
	$(PY) -m pytest $(PYTEST_ARGS)

bench: install
	@for b in bench/*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

# Builds share build/: a lock keeps concurrent installs from building over each other.
install: $(DEPS_STAMP)
	@mkdir -p build
	flock build/.install.lock sh -c '$(PIP_INSTALL) ./engine && $(PIP_INSTALL) .'

$(PY):
	PYENV_VERSION=$(PYTHON_VERSION) pyenv exec python -m venv $(VENV)

$(DEPS_STAMP): pyproject.toml engine/pyproject.toml | $(PY)
	$(PY) -m pip install -q --upgrade "pip>=25.1"
	$(PY) -m pip install -q --group dev
	touch $@

clean:
	rm -rf build engine/build
