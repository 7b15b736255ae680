"""Every program in examples/ runs to the end: each checks its own answers and exits 0."""

import pathlib
import subprocess
import sys

import pytest

EXAMPLES = sorted((pathlib.Path(__file__).parent.parent / "examples").glob("*.py"))


def test_examples_are_found():
    assert EXAMPLES


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda p: p.name)
def test_example_runs(example, tmp_path):
    # Run where the program's own folder is not the working directory, as a newcomer may.
    done = subprocess.run([sys.executable, str(example)], cwd=tmp_path,
                          capture_output=True, text=True)
    assert done.returncode == 0, f"{example.name} exited {done.returncode}:\n{done.stdout}\n{done.stderr}"
