"""The demo application runs to its summary: committed versions, delivered messages and the
three orders' fates (shipped, rejected by the schema, blocked by the audit), printing the same
lines on every run apart from the times."""

import pathlib
import re
import subprocess
import sys

import pytest

DEMO = pathlib.Path(__file__).resolve().parent.parent / "examples" / "demo.py"


def run_demo():
    out = subprocess.run([sys.executable, str(DEMO)], capture_output=True, text=True, timeout=100)
    assert out.returncode == 0, out.stderr
    assert out.stderr == ""
    return out.stdout.splitlines()


@pytest.mark.timeout(220)
def test_demo_runs_to_its_summary():
    pytest.importorskip("pydantic")
    lines = run_demo()
    clock = r"\d\d:\d\d:\d\d\.\d{3}"
    assert [re.sub(clock, "T", l) for l in run_demo()] == [re.sub(clock, "T", l) for l in lines]
    summary = lines[lines.index("== summary ==") + 1:]
    versions = re.fullmatch(r"versions committed: (\d+) \(state version (\d+)\)", summary[0])
    assert versions and int(versions[2]) == int(versions[1]) + 1
    assert summary[1] == "messages delivered: 1"
    assert summary[2] == "orders: A-1 shipped, C-3 rejected, B-7 blocked"
    assert summary[3] == "stock left: {'lamp': 3, 'desk': 1, 'chair': 0}"
    assert "[order]   B-7: blocked (Audit Blocked: charge_payment:B-7 exceeded threshold 2)" in lines
    assert "[order]   C-3: rejected (Value error, stock would go negative for chair)" in lines
    assert "[outbox]  delivered shipping.requested {'order': 'A-1', 'item': 'lamp'}" in lines
    assert "[signal]  order:A-1:shipped" in lines
    assert "[fsm]     A-1: Running -> WaitingIO" in lines
    assert any(l.startswith("[guard]   refused: Illegal Read: 'stock'") for l in lines)
    assert any("AuditWarning: WARNING: Approaching threshold (2/2)" in l for l in lines)
    # Each order's state machine starts afresh; a rejected commit's signal is explained.
    assert [l for l in lines if "Pending" in l] == [
        f"[fsm]     {o}: Pending -> Running" for o in ("A-1", "C-3", "B-7")]
    assert ("[signal]  order:C-3:reserved above was broadcast although the schema then "
            "rejected its commit") in lines
    tail = summary[summary.index("meta log tail:") + 1:]
    assert len(tail) == 3 and all(re.fullmatch(rf"  {clock} state_update: .*", l) for l in tail)
    assert all(re.match(r"^(\[\w+\] +|== |[a-z ]+:|  )", l) for l in lines), lines
