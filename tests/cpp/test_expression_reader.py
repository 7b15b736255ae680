"""The Python-free reader of the library's expression texts (cpp/texts/) and their native
evaluation (cpp/lp1/), tested directly: test_expression_reader.cpp is built with the system C++
compiler beside their sources and run once per case."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CASES = [
    "keywords_and_identifiers",
    "literals",
    "declined",
    "precedence_and_index_arithmetic",
    "scopes_and_loops",
]


def plain_env():
    """The environment without a preloaded sanitizer runtime (the compiler is not built for it;
    under a sanitizer run the program is built with the sanitizers instead)."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


@pytest.fixture(scope="module")
def program(tmp_path_factory):
    cxx = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    assert cxx, "no C++ compiler: set CXX or install g++"
    exe = tmp_path_factory.mktemp("expression_reader") / "test_expression_reader"
    sources = [ROOT / "cpp" / "texts" / "expression_reader.cpp",
               ROOT / "cpp" / "texts" / "tokens.cpp",
               ROOT / "cpp" / "lp1" / "text_evaluator.cpp", ROOT / "cpp" / "lp1" / "polynomial.cpp"]
    sanitize = (["-fsanitize=address,undefined", "-fno-sanitize-recover=all"]
                if "libasan" in os.environ.get("LD_PRELOAD", "") else [])
    build = subprocess.run(
        [cxx, "-std=c++17", "-O1", "-Wall", "-Wextra", *sanitize, "-I", str(ROOT / "cpp"),
         *map(str, sources), str(ROOT / "tests" / "cpp" / "test_expression_reader.cpp"),
         "-o", str(exe)],
        capture_output=True, text=True, env=plain_env())
    assert build.returncode == 0, build.stderr
    assert "warning" not in build.stderr, build.stderr
    return exe


def test_every_case_is_run(program):
    listed = subprocess.run([str(program), "--list"], capture_output=True, text=True, check=True,
                            env=plain_env())
    assert sorted(listed.stdout.split()) == sorted(CASES)


@pytest.mark.parametrize("case", CASES)
def test_expression_reader(program, case):
    run = subprocess.run([str(program), case], capture_output=True, text=True, env=plain_env())
    assert run.returncode == 0, run.stdout + run.stderr
