"""The shared sparse row and array component (cpp/linear/): test_sparse_row.cpp is built with the system C++
compiler beside its sources and run once per case with a seed (printed; set ZK_SPARSE_ROW_SEED
to replay one)."""

import pytest

from support.programs import listed_cases, run_case
from support.seeds import fresh_seed

CASES = ["array_products", "array_sums", "array_sums_in_one_pass", "dtypes",
         "left_to_the_host", "merges", "products", "units", "zeros"]


@pytest.fixture(scope="module")
def program(build_cpp):
    return build_cpp("test_sparse_row", ["linear"])


@pytest.fixture(scope="module")
def seed():
    return fresh_seed("ZK_SPARSE_ROW_SEED")


def test_every_case_is_run(program, cpp_env):
    assert listed_cases(program, cpp_env) == CASES


@pytest.mark.parametrize("case", CASES)
def test_rows_match_the_reference(program, cpp_env, seed, case):
    run_case(program, cpp_env, case, seed, "ZK_SPARSE_ROW_SEED")
