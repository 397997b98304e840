"""Every callback path that re-enters the object that called it finishes, with success or a
clear exception. Each case runs in its own interpreter: a hang fails the case by time-out."""

import pathlib
import subprocess
import sys

import pytest

import reentry_cases

SCRIPT = pathlib.Path(__file__).parent / "reentry_cases.py"

EXPECTED = {
    "schema_sets_schema": "ok version=2",
    "schema_commits_state":
        "SchemaViolationError: Schema Violation: RuntimeError: Already borrowed version=1",
    "schema_enters_its_transaction":
        "SchemaViolationError: Schema Violation: RuntimeError: Already borrowed",
    "schema_commits_another_transaction":
        "SchemaViolationError: Schema Violation: RuntimeError: Already borrowed version=1",
    "worker_reenters_engine": "ok ['first', 'second', 'from-worker']",
    "update_reenters_during_cas": "ok ['RuntimeError: Already mutably borrowed']",
    "key_hash_and_eq_reenter_state": "ok ['a', 'b']",
    "signal_str_reenters_state_and_hub": "ok ['inner:1', 'from-str', 'k:outer']",
    "deepcopy_reenters_transaction": "ok",
    "tracked_key_str_reenters_proxy": "ok ['inner', 'key']",
    "frozen_key_eq_reenters_view": "ok 1",
    "target_hook_reenters_guard": "ok 5 ['ok', 'RuntimeError: Already borrowed']",
    "deepcopy_reenters_guarded_transaction": "ok RuntimeError: Already mutably borrowed",
    "schema_uses_guard_on_committing_transaction":
        "ok ['RuntimeError: ContextGuard cannot use its Transaction while another operation of "
        "that Transaction is running'] version=2",
    "executor_reenters_engine": "ok ['outer'] ['outer', 'outer', 'x']",
    "condition_reenters_engine": "ok ['yes']",
    "observer_reenters_engine": "ok ['a'] 4",
    "warning_handler_reenters_audit": "RuntimeError: Already borrowed count=1",
}


def test_every_case_has_an_expectation():
    assert set(reentry_cases.CASES) == set(EXPECTED)


@pytest.mark.parametrize("case", sorted(EXPECTED))
@pytest.mark.timeout(90)
def test_reentry_finishes(case):
    out = subprocess.run([sys.executable, str(SCRIPT), case], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == EXPECTED[case], out.stderr
