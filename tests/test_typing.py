"""The typed API: the typed example checks clean under mypy --strict and runs, the stubs give
precise types, and mistakes that the types can see are reported."""

import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "typed_usage.py"

# Each line ending in "# E: code" must draw exactly that mypy error; no other line may draw one.
PROBE = textwrap.dedent("""\
    from collections.abc import Coroutine
    from typing import Any

    from typing_extensions import assert_type

    import morva_core as mc

    engine = mc.MorvaEngine()
    state = engine.state

    async def coro_process(ctx: mc.ProcessContext) -> int:
        return 1

    def plain_process(ctx: mc.ProcessContext) -> str:
        return ""

    assert_type(state.version, int)
    assert_type(state.data, mc.FrozenDict)
    assert_type(state.data.get("k"), Any | None)
    assert_type(state.data.get("k", 0), Any | int)
    assert_type(state.update(data={"a": 1}).get_meta_logs(), list[mc.MetaLogEntry])
    started = assert_type(engine.execute_process_async("p", coro_process), Coroutine[Any, Any, int])
    threaded = assert_type(engine.execute_process_async("p", plain_process), Coroutine[Any, Any, str])
    flow = mc.WorkflowEngine("steps: []")
    run = assert_type(flow.execute_async({}, print), Coroutine[Any, Any, list[str]])
    assert_type(flow.state_history, list[mc.FSMState])
    assert_type(mc.SignalHub().subscribe().recv(), str)
    with engine.transaction() as tx:
        assert_type(tx, mc.Transaction)
    assert_type(mc.AuditLevel.Block, mc.AuditLevel)
    assert_type(mc.AuditSystem().get_logs()[0].timestamp, float)

    state.update(version=2)  # E: call-arg
    engine.compare_and_swap("1")  # E: arg-type
    state.version = 3  # E: misc
    mc.FSMState.Running < mc.FSMState.Failed  # E: operator
    mc.SignalHub().publish(b"x")  # E: arg-type
    flow.execute({}, 42)  # E: arg-type
    tx.update(signal=[{"a": 1}])  # E: arg-type
    mc.FrozenList  # E: attr-defined
""")


def run(args, timeout, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout, cwd=ROOT, **kw)


def mypy_strict(path, cache):
    pytest.importorskip("mypy")
    pytest.importorskip("pydantic")
    return run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache),
                "--no-error-summary", str(path)], timeout=600)


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


@pytest.mark.timeout(600)
def test_typed_example_checks_clean_under_mypy_strict(mypy_cache):
    out = mypy_strict(EXAMPLE, mypy_cache)
    assert (out.returncode, out.stdout, out.stderr) == (0, "", "")


@pytest.mark.timeout(120)
def test_typed_example_runs():
    out = run([sys.executable, str(EXAMPLE)], timeout=120)
    assert out.returncode == 0, out.stdout + out.stderr
    assert out.stderr == ""
    lines = out.stdout.splitlines()
    assert len(lines) == 1 and lines[0].startswith("typed usage: version 3, 1 delivered"), lines


@pytest.mark.timeout(600)
def test_stub_types_are_precise_and_visible_mistakes_are_reported(mypy_cache, tmp_path):
    probe = tmp_path / "probe.py"
    probe.write_text(PROBE)
    expected = {(n, m.group(1)) for n, line in enumerate(PROBE.splitlines(), 1)
                if (m := re.search(r"# E: ([a-z-]+)$", line))}
    out = mypy_strict(probe, mypy_cache)
    reported = set()
    for line in out.stdout.splitlines():
        if ": note: " in line:
            continue
        m = re.match(r".*probe\.py:(\d+): error: .*\[([a-z-]+)\]$", line)
        assert m, line  # anything else (a note, an unexpected error text) is a failure too
        reported.add((int(m.group(1)), m.group(2)))
    assert reported == expected, out.stdout
    assert len(expected) == 8
