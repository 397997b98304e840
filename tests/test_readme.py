"""Every Python example in README.md runs as written, each in a fresh interpreter."""

import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


def test_readme_has_examples():
    assert len(BLOCKS) >= 7


@pytest.mark.parametrize("index", range(len(BLOCKS)))
@pytest.mark.timeout(120)
def test_readme_example_runs(index):
    out = subprocess.run([sys.executable, "-c", BLOCKS[index]], capture_output=True, text=True,
                         timeout=100)
    assert out.returncode == 0, BLOCKS[index] + "\n" + out.stderr
