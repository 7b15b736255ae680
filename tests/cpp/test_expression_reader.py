"""The Python-free reader of the library's expression texts (cpp/texts/) and their native
evaluation (cpp/lp1/), tested directly: test_expression_reader.cpp, built
against their components (tests/cpp/CMakeLists.txt), is run once per case."""

import subprocess

import pytest

CASES = [
    "accepted_forms",
    "outline",
    "keywords_and_identifiers",
    "literals",
    "declined",
    "precedence_and_index_arithmetic",
    "scopes_and_loops",
]


@pytest.fixture(scope="module")
def program(build_cpp):
    return build_cpp("test_expression_reader", ["lp1"])


def test_every_case_is_run(program, cpp_env):
    listed = subprocess.run([str(program), "--list"], capture_output=True, text=True, check=True,
                            env=cpp_env)
    assert sorted(listed.stdout.split()) == sorted(CASES)


@pytest.mark.parametrize("case", CASES)
def test_expression_reader(program, cpp_env, case):
    run = subprocess.run([str(program), case], capture_output=True, text=True, env=cpp_env)
    assert run.returncode == 0, run.stdout + run.stderr
