"""The Python-free instantiation core (cpp/instantiate/), tested directly: test_instantiate.cpp,
built against the core's component (tests/cpp/CMakeLists.txt), is run once per case. Each case
instantiates one template by the planned loop and by the checked loop and compares both with a
plain reading of what its clauses mean."""

import subprocess

import pytest

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


@pytest.fixture(scope="module")
def program(build_cpp):
    return build_cpp("test_instantiate", ["instantiate"])


def test_every_case_is_run(program, cpp_env):
    listed = subprocess.run([str(program), "--list"], capture_output=True, text=True, check=True,
                            env=cpp_env)
    assert sorted(listed.stdout.split()) == sorted(CASES)


@pytest.mark.parametrize("case", CASES)
def test_instantiate(program, cpp_env, case):
    run = subprocess.run([str(program), case], capture_output=True, text=True, env=cpp_env)
    assert run.returncode == 0, run.stdout + run.stderr
