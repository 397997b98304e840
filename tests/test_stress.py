"""Thread stress, each scenario in its own interpreter so that a deadlock or a crash fails the
test (by time-out or exit status) instead of taking the test run down."""

import os
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).parent / "stress"
SANITIZED = bool(os.environ.get("MORVA_MODULE_DIR"))

# scenario -> (size argument, size under the sanitizer build)
SCENARIOS = {
    "engine_commits": (1000, 100),
    "meta_log": (5000, 1000),
    "signals": (20000, 3000),
    "workflow": (500, 50),
    "audit": (20000, 3000),
    "shared_reads": (20000, 2000),
}


@pytest.mark.parametrize("name", sorted(SCENARIOS))
@pytest.mark.timeout(200)
def test_thread_stress(name):
    size = SCENARIOS[name][1 if SANITIZED else 0]
    out = subprocess.run([sys.executable, str(HERE / f"{name}.py"), str(size)],
                         capture_output=True, text=True, timeout=180)
    assert out.returncode == 0, out.stdout + out.stderr
    assert out.stdout.startswith("ok"), out.stdout + out.stderr
