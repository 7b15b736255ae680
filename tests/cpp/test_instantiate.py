"""The Python-free instantiation core (cpp/instantiate/), tested directly: test_instantiate.cpp is
built with the system C++ compiler beside the core's sources and run once per case. Each case
instantiates one template by the planned loop and by the checked loop and compares both with a
plain reading of what its clauses mean."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CASES = [
    "width1_no_keyword",
    "width2_one_keyword",
    "width2_unordered_values",
    "width2_order_flips",
    "width3_two_keywords_soft",
    "generic_three_keywords",
    "generic_four_keywords",
    "few_instances_unplanned",
    "refused_index_out_of_range",
    "refused_auxiliary_past_block",
    "refused_zero_literal",
    "written_out",
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
    exe = tmp_path_factory.mktemp("instantiate") / "test_instantiate"
    # The core reads its literal texts with the library's text component.
    sources = sorted(str(p) for p in (ROOT / "cpp" / "instantiate").glob("*.cpp"))
    sources += [str(ROOT / "cpp" / "texts" / s) for s in ("tokens.cpp", "names.cpp", "index_text.cpp")]
    sanitize = (["-fsanitize=address,undefined", "-fno-sanitize-recover=all"]
                if "libasan" in os.environ.get("LD_PRELOAD", "") else [])
    build = subprocess.run(
        [cxx, "-std=c++17", "-O1", "-Wall", "-Wextra", *sanitize, "-I", str(ROOT / "cpp"),
         *sources, str(ROOT / "tests" / "cpp" / "test_instantiate.cpp"), "-o", str(exe)],
        capture_output=True, text=True, env=plain_env())
    assert build.returncode == 0, build.stderr
    assert "warning" not in build.stderr, build.stderr
    return exe


def test_every_case_is_run(program):
    listed = subprocess.run([str(program), "--list"], capture_output=True, text=True, check=True,
                            env=plain_env())
    assert sorted(listed.stdout.split()) == sorted(CASES)


@pytest.mark.parametrize("case", CASES)
def test_instantiate(program, case):
    run = subprocess.run([str(program), case], capture_output=True, text=True, env=plain_env())
    assert run.returncode == 0, run.stdout + run.stderr
