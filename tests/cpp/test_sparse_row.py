"""The shared sparse row component (cpp/linear/): test_sparse_row.cpp is built with the system C++
compiler beside its sources and run once per case with a seed (printed; set ZK_SPARSE_ROW_SEED
to replay one)."""

import os
import random
import subprocess

import pytest

CASES = ["merges", "products", "units"]


@pytest.fixture(scope="module")
def program(build_cpp):
    return build_cpp("test_sparse_row", ["linear"])


@pytest.fixture(scope="module")
def seed():
    value = int(os.environ.get("ZK_SPARSE_ROW_SEED") or random.SystemRandom().randrange(2**63))
    print(f"ZK_SPARSE_ROW_SEED={value}")
    return value


def test_every_case_is_run(program, cpp_env):
    listed = subprocess.run([str(program), "--list"], capture_output=True, text=True, check=True,
                            env=cpp_env)
    assert sorted(listed.stdout.split()) == CASES


@pytest.mark.parametrize("case", CASES)
def test_rows_match_the_reference(program, cpp_env, seed, case):
    run = subprocess.run([str(program), case, str(seed)], capture_output=True, text=True,
                         env=cpp_env)
    assert run.returncode == 0, f"ZK_SPARSE_ROW_SEED={seed}\n" + run.stdout + run.stderr
