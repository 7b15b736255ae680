"""The README's Python examples run as written, each in a fresh interpreter."""

import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(), re.S | re.M)


def test_readme_has_examples():
    assert BLOCKS


@pytest.mark.parametrize("code", BLOCKS, ids=lambda c: c.splitlines()[0][:40])
def test_readme_example_runs(code, tmp_path):
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path,
                          capture_output=True, text=True)
    assert done.returncode == 0, f"{code}\n{done.stdout}\n{done.stderr}"
