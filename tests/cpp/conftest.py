"""Running the direct tests of the Python-free C++ components (tests/cpp/): each test program is a
CMake target of the library's build (tests/cpp/CMakeLists.txt, linked against the component
libraries of cpp/components.cmake), built by `make test` and `make dev` with the modules, and
found here in that build's directory: the sanitizer build's under a sanitizer run."""

import os
from pathlib import Path

import pytest

from support.components import component_sources

ROOT = Path(__file__).resolve().parents[2]


def sanitized():
    """Whether this run has a sanitizer runtime preloaded (`make test-sanitize`)."""
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def programs_dir():
    """tests/cpp/ of the build that made this run's modules: build/<wheel tag>/, or
    build/sanitize/<wheel tag>/ under a sanitizer run."""
    base = ROOT / "build" / "sanitize" if sanitized() else ROOT / "build"
    found = sorted(d for d in base.glob("*/tests/cpp") if d.is_dir())
    assert len(found) == 1, (
        f"expected one build of the C++ tests under {base}/<wheel tag>/tests/cpp, found "
        f"{[str(d) for d in found]}: `make test` (or `make test-sanitize`) builds them")
    return found[0]


@pytest.fixture(scope="session")
def cpp_env():
    """The environment without a preloaded sanitizer runtime (under a sanitizer run the programs
    are built with the sanitizers and load their runtime themselves)."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


@pytest.fixture(scope="session")
def build_cpp():
    """build_cpp(name, components): the built program of tests/cpp/<name>.cpp, which tests
    `components` (names of cpp/components.cmake; Python-free, their dependencies included).
    A program older than its source or than a source of those components was not rebuilt
    since the edit, and fails here rather than test what was."""
    def build(name, components):
        exe = programs_dir() / name
        assert exe.is_file(), (f"no program {exe}: `make test` builds tests/cpp/{name}.cpp "
                               "(a build configured before the C++ tests were targets needs it "
                               "once; `make dev` rebuilds them afterwards)")
        sources = [ROOT / "tests" / "cpp" / f"{name}.cpp"]
        sources += [ROOT / "cpp" / s for s in component_sources(components)]
        built = exe.stat().st_mtime
        newer = [str(s.relative_to(ROOT)) for s in sources if s.stat().st_mtime > built]
        assert not newer, f"{exe} is older than {newer}: `make dev` rebuilds it"
        return exe
    return build
