"""The model-level rules both linear generations share without the interpreter (cpp/linear/):
test_linear_model.cpp is built with the system C++ compiler beside their sources and runs each
case's whole table."""

import subprocess

import pytest

from support.programs import listed_cases

CASES = ["bounds", "columns", "outcomes", "start_vectors"]


@pytest.fixture(scope="module")
def program(build_cpp):
    return build_cpp("test_linear_model", ["linear"])


def test_every_case_is_run(program, cpp_env):
    assert listed_cases(program, cpp_env) == CASES


@pytest.mark.parametrize("case", CASES)
def test_case(program, cpp_env, case):
    run = subprocess.run([str(program), case], capture_output=True, text=True, env=cpp_env)
    assert run.returncode == 0, run.stdout + run.stderr
