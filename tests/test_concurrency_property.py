"""Random multi-threaded programs with re-entering callbacks (tests/stress/random_programs.py),
each in its own interpreter: every run must end in time, meet only documented refusals and keep
every commit reported successful. MORVA_STRESS_SEEDS widens the search (`make stress`)."""

import os
import pathlib
import subprocess
import sys

import pytest

PROGRAM = pathlib.Path(__file__).parent / "stress" / "random_programs.py"
SANITIZED = bool(os.environ.get("MORVA_MODULE_DIR"))
SEEDS = int(os.environ.get("MORVA_STRESS_SEEDS", 12 if SANITIZED else 50))
ROUNDS = os.environ.get("MORVA_STRESS_ROUNDS", "40")


@pytest.mark.timeout(0)
def test_random_programs_end_and_keep_every_commit():
    failures = []
    for seed in range(SEEDS):
        try:
            out = subprocess.run([sys.executable, str(PROGRAM), str(seed), ROUNDS],
                                 capture_output=True, text=True, timeout=60)
        except subprocess.TimeoutExpired:
            failures.append(f"seed {seed}: no end within 60 s")
            continue
        if out.returncode != 0 or not out.stdout.startswith("ok"):
            failures.append(f"seed {seed}: exit {out.returncode}: {(out.stdout + out.stderr)[-600:]}")
    assert not failures, "\n".join(failures)
