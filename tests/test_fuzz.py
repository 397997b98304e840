"""Fuzz smoke run: every harness for a bounded number of executions (longer with `make fuzz`).
A harness fails on any exception outside its documented types and on any crash."""

import os
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).parent / "fuzz"
RUNS = int(os.environ.get("MORVA_FUZZ_RUNS", "5000"))


@pytest.mark.parametrize("harness", sorted(p.stem for p in HERE.glob("fuzz_*.py")))
@pytest.mark.timeout(600)
def test_harness_runs_clean(harness):
    pytest.importorskip("atheris")
    out = subprocess.run([sys.executable, str(HERE / f"{harness}.py"), f"-runs={RUNS}",
                          "-seed=1", "-max_len=4096"],
                         capture_output=True, text=True, timeout=580, cwd=HERE)
    assert out.returncode == 0, out.stderr[-4000:]
    assert f"Done {RUNS} runs" in out.stderr, out.stderr[-2000:]
