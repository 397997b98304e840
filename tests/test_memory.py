"""Running out of memory in the middle of an operation: every operation that changes state
either makes its whole change or none, and leaves nothing held (tests/memory/sweep.py fails each
of its allocations in turn, in a child interpreter)."""

import json
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

HERE = Path(__file__).parent / "memory"


@pytest.mark.skipif(bool(os.environ.get("MORVA_ASAN")),
                    reason="the sanitizer owns malloc; the failing allocator cannot go before it")
@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                    reason="the free-threaded interpreter allocates objects only through mimalloc")
@pytest.mark.timeout(600)
def test_every_change_is_whole_or_none_when_an_allocation_fails(tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the failing allocator")
    shim = tmp_path / "failmalloc.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(shim),
                    str(HERE / "failmalloc.c")], check=True)
    env = dict(os.environ, LD_PRELOAD=str(shim), PYTHONMALLOC="malloc")
    run = subprocess.run([sys.executable, str(HERE / "sweep.py")], env=env, cwd=tmp_path,
                         capture_output=True, text=True, timeout=540)
    assert run.returncode == 0, run.stderr[-4000:]
    report = json.loads(run.stdout.splitlines()[-1])
    assert report["problems"] == []
    # Each operation allocated, and was failed at every allocation before it ran through.
    assert len(report["allocations"]) == 15
    assert all(report["allocations"][name] > 0 for name in (
        "State.update", "transaction commit", "Transaction.update", "process_outbox",
        "log_fail Stop", "WorkflowEngine.execute", "guarded write and stage"))
