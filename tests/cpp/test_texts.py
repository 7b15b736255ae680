"""The library's text forms (cpp/texts/) written and read back over random values:
test_texts.cpp, built against their component (tests/cpp/CMakeLists.txt), is run once per case
with a seed (printed; set ZK_TEXTS_SEED to replay one). The keyword table and the identifier test
are compared with the host's own answers."""

import keyword
import random
import string
import subprocess

import pytest

from support.programs import listed_cases, run_case
from support.seeds import fresh_seed

CASES = ["auxiliary_names", "decimals", "element_keys", "element_references"]


@pytest.fixture(scope="module")
def program(build_cpp):
    return build_cpp("test_texts", ["texts"])


@pytest.fixture(scope="module")
def seed():
    return fresh_seed("ZK_TEXTS_SEED")


def test_every_case_is_run(program, cpp_env):
    assert listed_cases(program, cpp_env) == CASES


@pytest.mark.parametrize("case", CASES)
def test_written_text_reads_back(program, cpp_env, seed, case):
    run_case(program, cpp_env, case, seed, "ZK_TEXTS_SEED")


def test_keywords_and_identifiers_agree_with_the_host(program, cpp_env, seed, tmp_path):
    rng = random.Random(seed)
    print(f"ZK_TEXTS_SEED={seed}")
    alphabet = string.ascii_letters + string.digits + "_"
    words = set(keyword.kwlist) | set(keyword.softkwlist) | {"_", "__", "x1", "1x", "a_b"}
    words |= {w.upper() for w in keyword.kwlist} | {w + "_" for w in keyword.kwlist}
    words |= {"".join(rng.choice(alphabet) for _ in range(rng.randint(1, 8)))
              for _ in range(3000)}
    lines = [f"{w} {int(keyword.iskeyword(w))} {int(w.isidentifier())}" for w in sorted(words)]
    table = tmp_path / "words.txt"
    table.write_text("\n".join(lines) + "\n")
    run = subprocess.run([str(program), "identifiers", str(table)], capture_output=True,
                         text=True, env=cpp_env)
    assert run.returncode == 0, f"ZK_TEXTS_SEED={seed}\n" + run.stdout + run.stderr
