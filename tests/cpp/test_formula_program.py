"""The Python-free programs of formula texts (cpp/formula/), tested directly:
test_formula_program.cpp, built against its component (tests/cpp/CMakeLists.txt), is run once
per case."""

import subprocess

import pytest

CASES = ["connectives", "comparisons", "scopes", "declined", "instructions"]


@pytest.fixture(scope="module")
def program(build_cpp):
    return build_cpp("test_formula_program", ["formula"])


def test_every_case_is_run(program, cpp_env):
    listed = subprocess.run([str(program), "--list"], capture_output=True, text=True, check=True,
                            env=cpp_env)
    assert sorted(listed.stdout.split()) == sorted(CASES)


@pytest.mark.parametrize("case", CASES)
def test_formula_program(program, cpp_env, case):
    run = subprocess.run([str(program), case], capture_output=True, text=True, env=cpp_env)
    assert run.returncode == 0, run.stdout + run.stderr
