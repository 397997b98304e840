"""The demo application runs to its summary: committed versions, delivered messages and the
three orders' fates (shipped, rejected by the schema, blocked by the audit)."""

import pathlib
import re
import subprocess
import sys

import pytest

DEMO = pathlib.Path(__file__).resolve().parent.parent / "examples" / "demo.py"


@pytest.mark.timeout(120)
def test_demo_runs_to_its_summary():
    pytest.importorskip("pydantic")
    out = subprocess.run([sys.executable, str(DEMO)], capture_output=True, text=True, timeout=100)
    assert out.returncode == 0, out.stderr
    assert out.stderr == ""
    lines = out.stdout.splitlines()
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
    assert all(re.match(r"^(\[\w+\] +|== |[a-z ]+:|  )", l) for l in lines), lines
