"""Building and running the direct tests of the Python-free C++ components (tests/cpp/): each
test program is compiled with the system C++ compiler beside the sources of the components it
tests, as cpp/components.cmake lists them for the build."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

from support.components import component_sources

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def cpp_env():
    """The environment without a preloaded sanitizer runtime (the compiler is not built for it;
    under a sanitizer run the program is built with the sanitizers instead)."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


@pytest.fixture(scope="session")
def build_cpp(tmp_path_factory, cpp_env):
    """build_cpp(name, components): tests/cpp/<name>.cpp and the sources of `components` (names
    of cpp/components.cmake, their dependencies included) built into one program, without
    warnings; returns its path."""
    def build(name, components):
        sources = component_sources(components)
        cxx = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
        assert cxx, "no C++ compiler: set CXX or install g++"
        exe = tmp_path_factory.mktemp(name) / name
        sanitize = (["-fsanitize=address,undefined", "-fno-sanitize-recover=all"]
                    if "libasan" in os.environ.get("LD_PRELOAD", "") else [])
        result = subprocess.run(
            [cxx, "-std=c++17", "-O1", "-Wall", "-Wextra", *sanitize, "-I", str(ROOT / "cpp"),
             *(str(ROOT / "cpp" / s) for s in sources),
             str(ROOT / "tests" / "cpp" / f"{name}.cpp"), "-o", str(exe)],
            capture_output=True, text=True, env=cpp_env)
        assert result.returncode == 0, result.stderr
        assert "warning" not in result.stderr, result.stderr
        return exe
    return build
