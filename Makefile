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
INSTALL_STAMP  := $(VENV)/.installed
PIP_INSTALL    := $(PY) -m pip install --no-build-isolation --no-deps -v \
                  -Ccmake.define.ZK_WERROR=$(ZK_WERROR) -Ccmake.define.ZK_LINK_COMPILE_COMMANDS=ON
# The library's own builds (not the benchmarks') also build the direct C++ tests of tests/cpp/,
# which the suite runs from the build directory.
LIB_TESTS      := -Ccmake.define.ZK_BUILD_TESTS=ON
PYTEST_ARGS    ?=
BENCH_VENV     ?= .venv-bench
BENCH_PY       := $(BENCH_VENV)/bin/python
BENCH_STAMP    := $(BENCH_VENV)/.deps-installed
BENCH_INSTALL  := $(BENCH_PY) -m pip install --no-build-isolation --no-deps -v \
                  -Cbuild-dir=build/bench/{wheel_tag} -Ccmake.define.ZK_WERROR=$(ZK_WERROR)

# pytest with PYTEST_ARGS, saying so when it collected no test (its exit code 5).
RUN_PYTEST      = $(PY) -m pytest $(PYTEST_ARGS) || { rc=$$?; [ $$rc -ne 5 ] || echo "*** pytest collected no tests" >&2; exit $$rc; }

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

.PHONY: demo test dev install venv deps bench clean

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
	@$(RUN_PYTEST)

# `make dev PYTEST_ARGS="tests/core -x"`: the edit loop. Once an install has configured both
# projects' build directories (build/<wheel tag>/, engine/build/<wheel tag>/), it runs CMake's own
# build there, which recompiles only what changed (and reconfigures itself when a CMakeLists.txt,
# cpp/components.cmake or a globbed directory changed), installs the modules into .venv, copies
# src/zk_encoder/ over the installed package, and runs pytest with PYTEST_ARGS: no pip, no wheel,
# no build environment. The build keeps the options of the install that configured it (ZK_WERROR
# too). Without those directories, or after a change of either pyproject.toml, it goes through
# `make install` first.
DEV_BUILD_DIRS  = $(patsubst %/CMakeCache.txt,%,$(firstword $(wildcard engine/build/*/CMakeCache.txt)) \
                                                 $(firstword $(wildcard build/*/CMakeCache.txt)))
dev: deps
	@if [ -f $(INSTALL_STAMP) ] && [ $(INSTALL_STAMP) -nt pyproject.toml ] \
	        && [ $(INSTALL_STAMP) -nt engine/pyproject.toml ] && [ $(words $(DEV_BUILD_DIRS)) -eq 2 ]; then \
	    site=$$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])'); \
	    for dir in $(DEV_BUILD_DIRS); do \
	        echo "==> dev: cmake --build $$dir, then install into $$site"; \
	        $(LOCK) $(VENV)/bin/cmake --build $$dir || exit 1; \
	        $(LOCK) $(VENV)/bin/cmake --install $$dir --prefix "$$site" >/dev/null || exit 1; \
	    done; \
	    cp -R src/zk_encoder/. "$$site/zk_encoder/"; \
	else \
	    $(MAKE) --no-print-directory install; \
	fi
	@echo "==> dev: pytest $(PYTEST_ARGS)"
	@$(RUN_PYTEST)

# `make bench` runs bench/ in an environment of its own: the peers it measures against need other
# versions than the tests use (linopy on CPython 3.10 needs numpy below 2). It is made with the
# interpreter .venv was made with, and engine and library are built into it in build directories
# of their own, so the two environments never rebuild each other's objects.
bench: venv
	@if [ -x $(BENCH_PY) ]; then \
	    echo "==> [1/4] bench venv: $(BENCH_VENV) is there"; \
	else \
	    echo "==> [1/4] bench venv: creating $(BENCH_VENV)"; \
	    if [ -n '$(BASE_PYTHON)' ]; then $(BASE_PYTHON) -m venv $(BENCH_VENV); \
	    else "$$($(PY) -c 'import sys; print(sys._base_executable)')" -m venv $(BENCH_VENV); fi; \
	fi
	@if [ -f $(BENCH_STAMP) ] && [ $(BENCH_STAMP) -nt pyproject.toml ]; then \
	    echo "==> [2/4] bench dependencies: up to date"; \
	else \
	    echo "==> [2/4] bench dependencies: the test set with numpy below 2, linopy, PyOptInterface"; \
	    $(BENCH_PY) -m pip install --progress-bar off --upgrade "pip>=25.1" | $(PIP_LINES); \
	    $(BENCH_PY) -m pip install --progress-bar off --group bench | $(PIP_LINES); \
	    touch $(BENCH_STAMP); \
	fi
	@mkdir -p build
	$(call bench_build_step,engine,./engine)
	$(call bench_build_step,library,.)
	@echo "==> [4/4] run: bench/"
	@for b in bench/*.py; do echo "== $$b"; $(BENCH_PY) $$b || exit 1; done

# bench_build_step(what, source directory)
define bench_build_step
	@echo "==> [3/4] $(1) into $(BENCH_VENV) (full output: build/bench-$(1)-install.log)"
	@$(LOCK) $(BENCH_INSTALL) $(2) 2>&1 | tee build/bench-$(1)-install.log | $(PROGRESS) \
	    || { echo "*** $(1) failed; the last lines of build/bench-$(1)-install.log:" >&2; \
	         tail -n 40 build/bench-$(1)-install.log >&2; exit 1; }
endef

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
	$(call build_step,4,library: build and install zk_encoder,library-install,$(LIB_TESTS) .)
	@touch $(INSTALL_STAMP)

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

# ---------------------------------------------------------------------------------------------
# C++ layout: clang-format over every C++ file of the library and the engine, with the version
# pinned in pyproject.toml's dependency group "format" (installed into $(VENV) on first use).
# `make format` rewrites the files in place; `make format-check` names those it would change and
# fails.
.PHONY: format format-check format-tool
CLANG_FORMAT   := $(VENV)/bin/clang-format
FORMAT_STAMP   := $(VENV)/.format-installed
CXX_FILES       = $(shell find cpp engine/cpp -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) | LC_ALL=C sort)

format-tool: deps
	@if [ -x $(CLANG_FORMAT) ] && [ $(FORMAT_STAMP) -nt pyproject.toml ]; then :; else \
	    echo "==> format: installing clang-format (dependency group 'format')"; \
	    $(PY) -m pip install --progress-bar off --group format | $(PIP_LINES); \
	    touch $(FORMAT_STAMP); \
	fi

format: format-tool
	@echo "==> format: clang-format $$($(CLANG_FORMAT) --version | grep -o 'version [0-9.]*') on $(words $(CXX_FILES)) files"
	@$(CLANG_FORMAT) -i $(CXX_FILES)

format-check: format-tool
	@echo "==> format-check: clang-format $$($(CLANG_FORMAT) --version | grep -o 'version [0-9.]*') on $(words $(CXX_FILES)) files"
	@bad=$$(for f in $(CXX_FILES); do \
	            $(CLANG_FORMAT) "$$f" | cmp -s - "$$f" || echo "$$f"; \
	        done); \
	if [ -n "$$bad" ]; then \
	    echo "*** not laid out as clang-format lays them out (\`make format\` rewrites them):" >&2; \
	    echo "$$bad" | sed 's/^/***   /' >&2; \
	    exit 1; \
	fi; \
	echo "    all laid out as clang-format lays them out"

# ---------------------------------------------------------------------------------------------
# Sanitizer run: both distributions built with AddressSanitizer and UndefinedBehaviorSanitizer into
# a venv and build directories of their own ($(SAN_VENV), build/sanitize/ and
# engine/build/sanitize/: the normal build is left alone), then the whole suite with GCC's ASan
# runtime preloaded into the uninstrumented interpreter, and the C++ runtime right behind it (the
# interpreter does not load it itself, and ASan must find its exception machinery when it
# starts). PYTHONMALLOC=malloc hands every Python object to ASan's allocator as well, so a Python
# object freed too early is caught where it is used. Leaks are not checked (the interpreter keeps much until exit). Any report, from the suite's
# process or from an interpreter a test starts, ends that process with status 86 and fails the run:
# the suite's standard error is not captured (UBSan writes its reports there, whatever log_path
# says), and ASan's reports also go to build/sanitize/reports/, shown at the end, so that one from
# an interpreter a test starts is seen even where the test does not look at its status. Linux
# with GCC.
.PHONY: test-sanitize sanitize-install
SAN_VENV       ?= .venv-sanitize
SAN_PY         := $(SAN_VENV)/bin/python
SAN_CXX        ?= g++
SAN_FLAGS      := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
SAN_REPORTS    := build/sanitize/reports
SAN_PIP_INSTALL = $(SAN_PY) -m pip install --no-build-isolation --no-deps -v \
                  -Cbuild-dir=build/sanitize/{wheel_tag} -Ccmake.build-type=RelWithDebInfo \
                  -Ccmake.define.CMAKE_CXX_COMPILER=$(SAN_CXX) \
                  "-Ccmake.define.CMAKE_CXX_FLAGS=$(SAN_FLAGS)" \
                  "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=$(SAN_FLAGS)" \
                  "-Ccmake.define.CMAKE_EXE_LINKER_FLAGS=$(SAN_FLAGS)" \
                  -Ccmake.define.ZK_WERROR=$(ZK_WERROR)

# san_build_step(what, log name, source directory)
define san_build_step
	@echo "==> sanitize: $(1) (full output: build/$(2).log)"
	@$(SAN_PIP_INSTALL) $(3) 2>&1 | tee build/$(2).log | $(PROGRESS) \
	    || { echo "*** $(1) failed; the last lines of build/$(2).log:" >&2; \
	         tail -n 40 build/$(2).log >&2; exit 1; }
endef

sanitize-install:
	@$(MAKE) --no-print-directory deps VENV=$(SAN_VENV)
	@mkdir -p build
	$(call san_build_step,engine with ASan and UBSan,sanitize-engine-install,./engine)
	$(call san_build_step,library with ASan and UBSan,sanitize-library-install,$(LIB_TESTS) .)

test-sanitize: sanitize-install
	@runtime=$$($(SAN_CXX) -print-file-name=libasan.so); \
	cxxlib=$$($(SAN_CXX) -print-file-name=libstdc++.so); \
	if [ ! -e "$$runtime" ]; then echo "*** no ASan runtime for $(SAN_CXX) (libasan.so)" >&2; exit 1; fi; \
	echo "==> sanitize: the test suite (tests/, engine/tests/) with $$runtime preloaded"; \
	rm -rf $(SAN_REPORTS) && mkdir -p $(SAN_REPORTS); \
	rc=0; \
	LD_PRELOAD="$$runtime $$cxxlib" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:exitcode=86:log_path=$(CURDIR)/$(SAN_REPORTS)/asan \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=86 \
	    $(SAN_PY) -m pytest -p no:cacheprovider --capture=sys $(PYTEST_ARGS) || rc=$$?; \
	if [ -n "$$(ls -A $(SAN_REPORTS))" ]; then \
	    echo "*** sanitizer reports:" >&2; \
	    for f in $(SAN_REPORTS)/*; do echo "*** $$f" >&2; cat "$$f" >&2; done; \
	    exit 1; \
	fi; \
	[ $$rc -ne 86 ] || echo "*** a sanitizer report ended the run (above)" >&2; \
	[ $$rc -ne 5 ] || echo "*** pytest collected no tests" >&2; \
	exit $$rc
