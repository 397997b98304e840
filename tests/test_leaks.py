"""Leak checks: every public operation run 200k times after a warm-up keeps the process's
resident memory flat and does not grow the reference counts of the objects it touches. Each
group runs in its own interpreter so that other tests' garbage does not blur the numbers."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).parent / "leaks"
CALLS = 200_000
RSS_BOUND = 1 << 20  # one leaked object per call (16+ bytes) grows 3+ MB over 200k calls
REF_BOUND = 100

pytestmark = pytest.mark.skipif(
    bool(os.environ.get("MORVA_MODULE_DIR")),
    reason="the sanitizer build's allocator keeps freed memory in quarantine")


def run_group(group, calls=CALLS):
    out = subprocess.run([sys.executable, str(HERE / "measure.py"), group, str(calls)],
                         capture_output=True, text=True, timeout=600, cwd=HERE)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def test_the_measurement_catches_one_leaked_object_or_reference_per_call():
    results = run_group("leaky")
    rss, _ = results["deliberate object leak"]
    assert rss > RSS_BOUND
    _, refs = results["deliberate reference leak"]
    assert refs > REF_BOUND


@pytest.mark.parametrize("group", ["state", "views", "engine", "workflow", "audit", "guard"])
@pytest.mark.timeout(900)
def test_operations_do_not_leak(group):
    results = run_group(group)
    grown = {op: (rss, refs) for op, (rss, refs) in results.items()
             if rss > RSS_BOUND or refs > REF_BOUND}
    assert not grown, grown
