"""Building and running the direct tests of the Python-free C++ components (tests/cpp/): each
test program is compiled with the system C++ compiler beside the sources of the components it
tests, as cpp/components.cmake lists them for the build."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
COMPONENTS_FILE = ROOT / "cpp" / "components.cmake"


def read_components(text):
    """{name: (depends, sources, python)} of every zk_component(...) call in the text, whose
    arguments are plain words (comments after "#")."""
    components = {}
    for match in re.finditer(r"^zk_component\(([^)]*)\)", text, re.MULTILINE):
        words = [w for line in match.group(1).splitlines() for w in line.split("#")[0].split()]
        name, section = words[0], None
        depends, sources, python = [], [], False
        for word in words[1:]:
            if word == "PYTHON":
                python = True
            elif word in ("DEPENDS", "SOURCES"):
                section = word
            elif section == "DEPENDS":
                depends.append(word)
            elif section == "SOURCES":
                sources.append(word)
            else:
                raise ValueError(f"zk_component({name}): {word!r} outside DEPENDS and SOURCES")
        components[name] = (depends, sources, python)
    return components


def component_sources(names):
    """The sources (paths below cpp/) of the named components and of those they depend on, each
    once, a component's own before its dependencies'."""
    components = read_components(COMPONENTS_FILE.read_text())
    order, seen = [], set()

    def visit(name):
        if name in seen:
            return
        seen.add(name)
        depends, sources, python = components[name]
        assert not python, f"component {name} needs the interpreter: not built here"
        order.extend(sources)
        for dep in depends:
            visit(dep)

    for name in names:
        visit(name)
    return order


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
