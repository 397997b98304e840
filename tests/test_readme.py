"""Every Python example in README.md runs as written, each saved as a script and run in a fresh
interpreter, as a reader would copy it."""

import multiprocessing
import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)
POOL_BLOCKS = [i for i, block in enumerate(BLOCKS) if "ProcessPoolExecutor" in block]


def run_script(tmp_path, code):
    script = tmp_path / "example.py"
    script.write_text(code)
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                         timeout=100)
    assert out.returncode == 0, code + "\n" + out.stderr
    return out.stdout


def test_readme_has_examples():
    assert len(BLOCKS) >= 7 and POOL_BLOCKS


@pytest.mark.parametrize("index", range(len(BLOCKS)))
@pytest.mark.timeout(120)
def test_readme_example_runs(index, tmp_path):
    run_script(tmp_path, BLOCKS[index])


# Workers find the example's function by importing its script unless they are forked; the
# interpreter's default is `fork` before 3.14 and `forkserver` from 3.14 on Linux.
@pytest.mark.parametrize("method", multiprocessing.get_all_start_methods())
@pytest.mark.parametrize("index", POOL_BLOCKS)
@pytest.mark.timeout(120)
def test_readme_process_pool_example_runs_with_every_start_method(index, method, tmp_path):
    forced = f"import multiprocessing\nmultiprocessing.set_start_method({method!r}, force=True)\n"
    assert "CAS Version Mismatch" in run_script(tmp_path, forced + BLOCKS[index])
