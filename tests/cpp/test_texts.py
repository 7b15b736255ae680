"""The library's text forms (cpp/texts/) written and read back over random values:
test_texts.cpp is built with the system C++ compiler beside their sources and run once per case
with a seed (printed; set ZK_TEXTS_SEED to replay one). The keyword table and the identifier test
are compared with the host's own answers."""

import keyword
import os
import random
import shutil
import string
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SOURCES = ["tokens.cpp", "names.cpp", "index_text.cpp"]
CASES = ["auxiliary_names", "decimals", "element_keys", "element_references"]


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
    exe = tmp_path_factory.mktemp("texts") / "test_texts"
    sanitize = (["-fsanitize=address,undefined", "-fno-sanitize-recover=all"]
                if "libasan" in os.environ.get("LD_PRELOAD", "") else [])
    build = subprocess.run(
        [cxx, "-std=c++17", "-O1", "-Wall", "-Wextra", *sanitize, "-I", str(ROOT / "cpp"),
         *(str(ROOT / "cpp" / "texts" / s) for s in SOURCES),
         str(ROOT / "tests" / "cpp" / "test_texts.cpp"), "-o", str(exe)],
        capture_output=True, text=True, env=plain_env())
    assert build.returncode == 0, build.stderr
    assert "warning" not in build.stderr, build.stderr
    return exe


@pytest.fixture(scope="module")
def seed():
    value = int(os.environ.get("ZK_TEXTS_SEED") or random.SystemRandom().randrange(2**63))
    print(f"ZK_TEXTS_SEED={value}")
    return value


def test_every_case_is_run(program):
    listed = subprocess.run([str(program), "--list"], capture_output=True, text=True, check=True,
                            env=plain_env())
    assert sorted(listed.stdout.split()) == CASES


@pytest.mark.parametrize("case", CASES)
def test_written_text_reads_back(program, seed, case):
    run = subprocess.run([str(program), case, str(seed)], capture_output=True, text=True,
                         env=plain_env())
    assert run.returncode == 0, f"ZK_TEXTS_SEED={seed}\n" + run.stdout + run.stderr


def test_keywords_and_identifiers_agree_with_the_host(program, seed, tmp_path):
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
                         text=True, env=plain_env())
    assert run.returncode == 0, f"ZK_TEXTS_SEED={seed}\n" + run.stdout + run.stderr
