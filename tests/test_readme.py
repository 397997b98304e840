"""README.md: its Python example runs as written, saved as a script and run in a fresh
interpreter as a reader would copy it, and its Layout section names every folder under src/ and
no folder that does not exist."""

import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


def run_script(tmp_path, code):
    script = tmp_path / "example.py"
    script.write_text(code)
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                         timeout=100)
    assert out.returncode == 0, code + "\n" + out.stderr
    return out.stdout


def test_readme_has_examples():
    assert len(BLOCKS) >= 1


@pytest.mark.parametrize("index", range(len(BLOCKS)))
@pytest.mark.timeout(120)
def test_readme_example_runs(index, tmp_path):
    run_script(tmp_path, BLOCKS[index])


def test_layout_names_exactly_the_folders_that_exist():
    layout = README.read_text().split("## Layout", 1)[1].split("```")[1]
    named = re.findall(r"^(\S+)/\s", layout, flags=re.M)
    assert [name for name in named if not (ROOT / name).is_dir()] == []
    src = {f"src/{p.name}" for p in (ROOT / "src").iterdir() if p.is_dir()}
    assert sorted(src - set(named)) == []
