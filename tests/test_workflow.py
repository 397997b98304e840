"""Workflow engine: the YAML step format and its errors, conditions, execution with the
operation limit, coroutine processes, the tracked state machine, simulate and debug output."""

import asyncio
import builtins
import inspect
import os
import shutil
import subprocess
import sys
import textwrap
import threading
import time
import types
import warnings

import pytest

import morva_core
from morva_core import FSMState, WorkflowEngine
from conftest import address_cap, raises_exact

P, R, W, C, F = (FSMState.Pending, FSMState.Running, FSMState.WaitingIO, FSMState.Complete,
                 FSMState.Failed)
TRIP = "Flux Safety Trip: Exceeded {} operations. Check for infinite loops."


# For a child interpreter: an address-space cap 1 GiB above what the interpreter reserves at
# start (not under the sanitizer, which reserves more), so a reader that copied or expanded without bound dies instead of answering.
MEMORY_CAP = "" if os.environ.get("MORVA_ASAN") else \
    f"resource.setrlimit(resource.RLIMIT_AS, ({address_cap(1 << 30)},) * 2)"
# A small thread stack for reading documents near the nesting limit; the sanitizer's frames
# (red zones around every local) take about twice the room.
STACK_KIB = 1024 if os.environ.get("MORVA_ASAN") else 512


def run(text, ctx=None, **kw):
    return WorkflowEngine(textwrap.dedent(text), **kw).execute({} if ctx is None else ctx,
                                                               lambda n: None)


def run_python(code, timeout=60):
    """Runs `code` in a fresh interpreter that imports the module under test."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(morva_core.__file__)] + [p for p in sys.path if p]))
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                         text=True, timeout=timeout, env=env)
    assert out.returncode == 0, out.stderr[-2000:]
    return out


class TestStepFormat:
    @pytest.mark.parametrize("text", ["", "# comment", "42", "- a", "other: 1", "steps: {a: 1}",
                                      "steps: plain", "steps:"])
    def test_documents_without_a_step_list(self, text):
        e = WorkflowEngine(text)
        assert e.execute({}, lambda n: 1 / 0) == [] and e.simulate({}) == []

    def test_step_forms(self):
        assert run("""
            steps:
              - " spaced name "
              - process: load
              - {process: kept, flux: Bogus}
              - !custom tagged
              - {flux: if, condition: "True", then: [a], else: [b]}
              - {flux: if, condition: "False", then: scalar, else: [c]}
              - {flux: if, condition: "True"}
              - {flux: run, steps: [d, {flux: run, steps: [e]}]}
        """) == [" spaced name ", "load", "kept", "tagged", "a", "c", "d", "e"]

    @pytest.mark.parametrize("step, message", [
        ("42", "Invalid step type: expected string or mapping, got Number(42)"),
        ("[a, ~]", 'Invalid step type: expected string or mapping, got Sequence [String("a"), Null]'),
        ("!t true", "Invalid step type: expected string or mapping, got TaggedValue { tag: !t, value: Bool(true) }"),
        ("{name: x}", 'Unknown step format: Mapping {"name": String("x")}'),
        ('{"a\\"": 1, 2: .5, false: 0x10}', 'Unknown step format: Mapping {"a\\"": Number(1), 2: Number(0.5), false: Number(16)}'),
        ("{process: [a]}", "'process' value must be a string"),
        ("{flux: 1}", "'flux' value must be a string"),
        ("{flux: while, do: [a]}", "'flux: while' requires 'condition' field"),
        ("{flux: while, condition: 1}", "'flux: while' requires 'condition' field"),
        ("{flux: while, condition: x, do: a}", "'flux: while' requires 'do' block"),
        ("{flux: if, then: [a]}", "'flux: if' requires 'condition' field"),
        ("{flux: run, steps: {a: 1}}", "'flux: run' requires 'steps' block"),
        ("{flux: While, condition: x, do: []}", "Unknown flux type: 'While'"),
    ])
    def test_step_errors(self, step, message):
        with raises_exact(ValueError, "Parse error: " + message):
            WorkflowEngine(f"steps:\n  - ok\n  - {step}\n")

    def test_nested_errors_read_like_top_level_ones(self):
        with raises_exact(ValueError, "Parse error: 'flux: run' requires 'steps' block"):
            WorkflowEngine("steps: [{flux: run, steps: [{flux: if, condition: x, then: "
                           "[{flux: while, condition: y, do: [{flux: run}]}]}]}]")
        # then is parsed before else, whatever their order in the text.
        with raises_exact(ValueError, "Parse error: Unknown flux type: 'a'"):
            WorkflowEngine("steps: [{flux: if, condition: x, else: [{flux: b}], then: [{flux: a}]}]")

    @pytest.mark.parametrize("text, start", [
        ("steps: [a", "did not find expected"),
        ("a: 1\n---\nb: 2\n", "more than one document"),
        ("[" * 200 + "]" * 200, "recursion limit exceeded"),
        ("steps: [\ud800]", "'utf-8' codec can't encode"),
    ])
    def test_unreadable_documents(self, text, start):
        with pytest.raises(ValueError) as info:
            WorkflowEngine(text)
        assert type(info.value) is ValueError
        assert str(info.value).startswith("Invalid YAML: " + start), str(info.value)

    def test_nesting_depth_bounds_step_nesting(self):
        def nested(levels):
            return "steps: " + "[{flux: run, steps: " * levels + "[x]" + "}]" * levels
        assert WorkflowEngine(nested(62)).simulate({}) == ["x"]
        with pytest.raises(ValueError, match="^Invalid YAML: recursion limit exceeded"):
            WorkflowEngine(nested(64))

    def test_constructor_arguments(self):
        with raises_exact(TypeError, "WorkflowEngine.__new__() missing 1 required positional argument: 'yaml_config'"):
            WorkflowEngine()
        with raises_exact(TypeError, "argument 'yaml_config': 'bytes' object cannot be converted to 'PyString'"):
            WorkflowEngine(b"")
        for bad in (-1, 2**32):
            with pytest.raises(OverflowError):
                WorkflowEngine("", max_ops=bad)
        with pytest.raises(TypeError, match="^argument 'max_ops': "):
            WorkflowEngine("", max_ops="5")
        with raises_exact(TypeError, "argument 'debug': 'int' object cannot be converted to 'PyBool'"):
            WorkflowEngine("", debug=1)
        WorkflowEngine(yaml_config="", max_ops=2**32 - 1, debug=False)


@pytest.mark.timeout(120)
def test_hostile_yaml_gives_only_value_error_in_bounded_time_and_memory():
    out = run_python(f"""
        import random, resource, time, morva_core
        {MEMORY_CAP}
        laughs = 'a: &a ["lol","lol","lol","lol","lol","lol","lol","lol","lol"]\\n' + ''.join(
            f'{{chr(98 + i)}}: &{{chr(98 + i)}} [' + ','.join(['*' + chr(97 + i)] * 9) + ']\\n'
            for i in range(9))
        rng = random.Random(6)
        noise = [bytes(rng.randrange(256) for _ in range(rng.randrange(1, 300)))
                 for _ in range(300)]
        texts = [laughs, '[' * 100000 + ']' * 100000, 'steps:' + ' {{a:' * 100000,
                 '- ' * 100000 + 'x', 'steps: [' + 'x' * 10_000_000 + ']',
                 'steps: ["' + 'x' * 10_000_000 + ']']
        texts += [b.decode('latin-1') for b in noise]
        texts += [b.decode('utf-8', 'surrogateescape') for b in noise]
        for text in texts:
            start = time.monotonic()
            try:
                morva_core.WorkflowEngine(text)
                outcome = 'built'
            except ValueError as exc:
                outcome = str(exc)[:40]
            assert time.monotonic() - start < 10
            print(outcome)
    """)
    lines = out.stdout.splitlines()
    assert lines[0].startswith("Invalid YAML: document too large")
    assert lines[1].startswith("Invalid YAML: recursion limit exceeded")
    assert all(l.startswith("Invalid YAML") for l in lines[2:4]) and lines[4] == "built"
    assert lines[5].startswith("Invalid YAML") and len(lines) == 606


@pytest.mark.timeout(120)
def test_aliases_count_at_full_depth_and_anchors_are_not_copied():
    out = run_python(f"""
        import resource, threading, time
        from morva_core import ConfigLoader, SchemaViolationError, WorkflowEngine
        {MEMORY_CAP}
        def wrapped(levels):  # each anchor wraps the previous one: written 2 deep, used deeper
            return "a0: &a0 [p]\\n" + "".join(f"a{{i}}: &a{{i}} [*a{{i - 1}}]\\n" for i in range(1, levels))
        runs = "r0: &r0 [p]\\n" + "".join(
            f"r{{i}}: &r{{i}} [{{{{flux: run, steps: *r{{i - 1}}}}}}]\\n" for i in range(1, 63))
        def outcome(call):
            try:
                return repr(call())[:30]
            except (ValueError, SchemaViolationError) as exc:
                return str(exc)[:40]
        def main():
            print(outcome(lambda: WorkflowEngine(wrapped(7500))))
            print(outcome(lambda: ConfigLoader.load_from_string(wrapped(7500))))
            print(outcome(lambda: WorkflowEngine(wrapped(127) + "steps: *a126")))
            e = WorkflowEngine(runs + "steps: *r62", debug=False)
            print(e.execute({{}}, lambda n: None), e.simulate({{}}))
            # 126 nested anchors around a 200,000-item list: kept once, not 126 times.
            text = "".join(f"&n{{i}} [" for i in range(126)) + "[" + ",".join(["x"] * 200_000) + "]" + "]" * 126
            for call in (lambda: WorkflowEngine("steps: " + text), lambda: ConfigLoader.load_from_string(text)):
                started = time.monotonic()
                print(outcome(call), time.monotonic() - started < 5)
        threading.stack_size({STACK_KIB} * 1024)
        thread = threading.Thread(target=main)
        thread.start()
        thread.join()
    """)
    expected = ["Invalid YAML: recursion limit exceeded", "Config Error: recursion limit exceeded",
                "Parse error: Invalid step type:", "['p'] ['p']", "Parse error: Invalid step type:",
                "Config Error: invalid type: a sequence,"]
    lines = out.stdout.splitlines()
    assert len(lines) == 6 and all(l.startswith(e) for l, e in zip(lines, expected)), out.stdout
    assert lines[4].endswith(" True") and lines[5].endswith(" True"), out.stdout


class TestConditions:
    def holds(self, condition, ctx=None):
        e = WorkflowEngine(f"steps: [{{flux: if, condition: {condition!r}, then: [yes]}}]")
        return e.execute({} if ctx is None else ctx, lambda n: None) == ["yes"]

    def test_context_builtins_and_truth(self):
        assert self.holds("domain['count'] > 2 and len(domain) == 1", {"domain": {"count": 3}})
        assert self.holds("max(abs(-2), min(1, 5), sum([1]), int(float('3'))) == 3")
        assert self.holds("str(bool(None)) == 'False' and True is not None")
        assert self.holds("[1]") and self.holds("_loop", {"_loop": 1})
        assert not any(self.holds(v) for v in ("0", "''", "{}", "None"))

    @pytest.mark.parametrize("condition, error", [
        ("global['x']", SyntaxError), ("", SyntaxError), ("print('x')", NameError),
        ("__import__('os')", NameError), ("getattr(1, 'real')", NameError),
        ("d['k']", KeyError), ("bad", LookupError),
    ])
    def test_errors_propagate_unchanged_at_every_evaluation(self, condition, error):
        class Bad:
            def __bool__(self):
                raise LookupError

        e = WorkflowEngine(f"steps: [{{flux: if, condition: {condition!r}}}]")
        for _ in range(2):
            with pytest.raises(error) as info:
                e.execute({"d": {}, "bad": Bad()}, None)
            assert type(info.value) is error
        assert e.state_history == [P, R, F, R, F]
        if error is SyntaxError:
            assert info.value.filename == "<string>"

    def test_embedded_nul(self):
        e = WorkflowEngine('steps: [{flux: while, condition: "x\\0y", do: [a]}]')
        for _ in range(2):
            with raises_exact(ValueError, "nul byte found in provided data at position: 1"):
                e.execute({}, None)

    def test_namespace_and_builtins_are_rebuilt_for_every_evaluation(self):
        e = WorkflowEngine("steps: [{flux: if, condition: 'len(x) == 99 and (y := 5)', then: [a]}]")
        ctx = {"x": [1]}
        assert e.execute(ctx, None) == []
        original = builtins.len
        builtins.len = lambda obj: 99
        try:
            assert e.execute(ctx, lambda n: None) == ["a"]
        finally:
            builtins.len = original
        assert e.execute(ctx, None) == [] and "y" not in ctx
        with pytest.raises(NameError):  # a context key __builtins__ replaces the twelve names
            e.execute({"x": [], "__builtins__": {}}, None)
        # Each evaluation gets its own builtins dict: clearing one does not reach the next.
        seen = []
        WorkflowEngine("steps: [{flux: while, condition: 'seen.append(__builtins__) or "
                       "len(seen) < 3', do: [a]}]").execute({"seen": seen}, lambda n: seen[-1].clear())
        assert list(seen[2]) == ["len", "int", "float", "str", "bool", "abs", "min", "max",
                                 "sum", "True", "False", "None"]


    def test_compile_warnings_come_at_every_evaluation_under_the_callers_filters(self):
        e = WorkflowEngine("steps: [{flux: while, condition: 'x is 1 and n.pop()', do: [a]}]")
        for _ in range(2):
            with pytest.warns(SyntaxWarning, match='"is" with .*literal') as record:
                assert e.execute({"x": 1, "n": [0, 1, 1]}, lambda n: None) == ["a", "a"]
            assert len(record) == 3  # one per evaluation, none swallowed by a cache
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(SyntaxError):  # the engine that compiled it before, too
                e.execute({"x": 1, "n": [1]}, None)
        with pytest.warns(SyntaxWarning):
            assert e.execute({"x": 1, "n": [0, 1]}, lambda n: None) == ["a"]


class TestExecution:
    def test_new_and_empty_engines(self):
        e = WorkflowEngine("")
        assert e.fsm_state == P and e.state == P and e.state_history == [P]
        seen = []
        e.add_state_observer(lambda old, new: seen.append((old, new)))
        assert e.execute({}, None) == []
        assert e.state_history == [P, R, C] and seen == [(P, R), (R, C)]
        assert all(type(s) is FSMState for pair in seen for s in pair)

    def test_executor_arguments_and_results(self):
        got = []
        result = WorkflowEngine("steps: [a, b, a]").execute({}, lambda *a, **k: got.append((a, k)) or 5)
        assert result == ["a", "b", "a"] and got == [(("a",), {}), (("b",), {}), (("a",), {})]

    @pytest.mark.parametrize("max_ops, steps, calls, ok", [
        (0, "[a]", 0, False),
        (3, "[a, b, c, d]", 3, False),
        (3, "[{flux: run, steps: [a, b]}]", 2, True),
        (1, "[{flux: while, condition: 'False', do: [a]}]", 0, True),
        (1, "[{flux: while, condition: 'False', do: [a]}, b]", 0, False),
        (5, "[{flux: while, condition: 'True', do: [a]}]", 4, False),
        (2, "[{flux: if, condition: 'True', then: [a], else: [b]}]", 1, True),
    ])
    def test_operation_limit(self, max_ops, steps, calls, ok):
        recorded = []
        e = WorkflowEngine(f"steps: {steps}", max_ops=max_ops)
        if ok:
            e.execute({}, recorded.append)
        else:
            with raises_exact(RuntimeError, TRIP.format(max_ops)):
                e.execute({}, recorded.append)
            assert e.state_history[-1] == F
        assert len(recorded) == calls

    def test_while_loop_over_a_counter(self):
        c = {"n": 0}
        text = "steps: [{flux: while, condition: \"c['n'] < 4\", do: [inc, {process: more}]}, end]"
        result = WorkflowEngine(text).execute({"c": c}, lambda n: c.__setitem__("n", c["n"] + 1))
        assert result == ["inc", "more"] * 2 + ["end"]

    def test_empty_while_body_is_bounded(self):
        e = WorkflowEngine("steps: [{flux: while, condition: 'True', do: []}]", max_ops=50)
        with raises_exact(RuntimeError, TRIP.format(50)):
            e.execute({}, None)
        # Each true turn costs one operation; a condition that changes what it reads still ends.
        e = WorkflowEngine("steps: [{flux: while, condition: 'items.pop()', do: []}]", max_ops=10)
        assert e.execute({"items": list(range(10))}, None) == []
        with raises_exact(RuntimeError, TRIP.format(10)):
            e.execute({"items": list(range(11))}, None)

    def test_failures(self):
        error = KeyError("boom")

        def executor(name):
            if name == "b":
                raise error

        e = WorkflowEngine("steps: [a, b, c]")
        with pytest.raises(KeyError) as info:
            e.execute({}, executor)
        assert info.value is error and e.state_history == [P, R, F]
        e = WorkflowEngine("steps: [a]")
        e.execute({}, executor)
        e.add_state_observer(lambda o, n: 1 / 0)  # never replaces the run's own error
        with pytest.raises(TypeError, match="not callable"):
            e.execute({}, None)
        assert e.state_history == [P, R, C, R, F]

    def test_argument_errors_change_nothing(self):
        e = WorkflowEngine("steps: [a]")
        with raises_exact(TypeError, "argument 'ctx': 'list' object cannot be converted to 'PyDict'"):
            e.execute([], print)
        with raises_exact(TypeError, "WorkflowEngine.execute() missing 1 required positional argument: 'executor'"):
            e.execute({})
        with raises_exact(TypeError, "argument 'ctx': 'NoneType' object cannot be converted to 'PyDict'"):
            e.simulate(None)
        assert e.state_history == [P]
        assert e.execute(type("D", (dict,), {})(), lambda n: None) == ["a"]

    def test_observers(self):
        e = WorkflowEngine("steps: [a]")
        seen = []

        def failing(old, new):
            seen.append(("failing", int(old), int(new), e.fsm_state, len(e.state_history)))
            if len(seen) == 1:
                e.add_state_observer(lambda o, n: seen.append("late"))
            raise ValueError

        for observer in (failing, 42, lambda: None, lambda o, n: seen.append(("second", int(n)))):
            e.add_state_observer(observer)
        assert e.execute({}, lambda n: None) == ["a"]
        # Order kept, failures dropped, and an observer added during a transition joins at the next.
        assert seen == [("failing", 0, 1, R, 2), ("second", 1),
                        ("failing", 1, 3, C, 3), ("second", 3), "late"]


class TestReentrancyAndThreads:
    def test_executor_calls_back_into_the_engine(self):
        e = WorkflowEngine("steps: [outer, {flux: if, condition: 'eng.state_history', then: [done]}]")
        inner = []

        def executor(name):
            if name == "outer":
                assert e.fsm_state == R
                inner.append(e.execute({"eng": e}, lambda n: None))

        assert e.execute({"eng": e}, executor) == ["outer", "done"]
        assert inner == [["outer", "done"]] and e.state_history == [P, R, R, C, C]

    @pytest.mark.timeout(120)
    def test_unbounded_reentry_ends_in_recursion_error_not_a_crash(self):
        # Python's recursion limit raised far beyond what the C stack holds.
        out = run_python("""
            import sys, morva_core
            sys.setrecursionlimit(1_000_000)
            e = morva_core.WorkflowEngine("steps: [a]")
            def executor(name):
                e.execute({}, executor)
            g = morva_core.WorkflowEngine("nodes: {start: a, a: {next: {'if f()': b}}}")
            def f():
                return g.simulate({"f": f})
            for call in (lambda: executor("a"), f):
                try:
                    call()
                except RecursionError as exc:
                    print(exc)
        """, timeout=110)
        # Which check fires first (the engine's or the interpreter's own C-level one, which
        # names no operation from 3.12 on) depends on the Python version.
        lines = out.stdout.splitlines()
        assert out.returncode == 0 and len(lines) == 2, out.stdout + out.stderr
        assert all(line.startswith("maximum recursion depth exceeded") for line in lines), lines

    @pytest.mark.timeout(60)
    def test_parallel_runs_share_history_not_counters(self):
        e = WorkflowEngine("steps: [{flux: while, condition: \"c['n'] < 200\", do: [step]}]")
        results = []
        barrier = threading.Barrier(4)

        def worker():
            c = {"n": 0}
            barrier.wait()
            results.append(e.execute({"c": c}, lambda n: c.__setitem__("n", c["n"] + 1)))

        threads = [threading.Thread(target=worker) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert [len(r) for r in results] == [200] * 4
        history = e.state_history
        assert len(history) == 9 and history.count(R) == 4 and history.count(C) == 4


def io_executor(log):
    def executor(name):
        if name == "io":
            async def work():
                await asyncio.sleep(0)
                log.append("awaited")
            return work()
        log.append(name)
    return executor


@pytest.mark.timeout(30)
class TestCoroutineProcesses:
    WORKFLOW = "steps: [sync, io, after]"

    def test_execute_async(self):
        e = WorkflowEngine(self.WORKFLOW)
        log, seen = [], []
        e.add_state_observer(lambda o, n: seen.append(int(n)))

        async def main():
            return await e.execute_async({}, io_executor(log))

        assert asyncio.run(main()) == ["sync", "io", "after"]
        assert log == ["sync", "awaited", "after"]
        assert e.state_history == [P, R, W, R, C] and seen == [1, 2, 1, 3]

    def test_loops_that_cannot_run_the_coroutine(self):
        e = WorkflowEngine(self.WORKFLOW)
        with pytest.warns(RuntimeWarning, match="never awaited"):
            with raises_exact(RuntimeError, "Async process returned coroutine but '_loop' missing in "
                              "context. Ensure you used execute_async() or provided '_loop'."):
                e.execute({}, io_executor([]))

        async def main():  # waiting for our own loop would never end
            return e.execute({"_loop": asyncio.get_running_loop()}, io_executor([]))

        with pytest.warns(RuntimeWarning, match="never awaited"):
            with pytest.raises(RuntimeError, match="'_loop' is the event loop running on this thread"):
                asyncio.run(main())
        assert e.state_history == [P, R, F, R, F]

        # A "_loop" of None is no running loop: scheduling on it fails as asyncio says.
        e, coroutines = WorkflowEngine("steps: [io]"), [asyncio.sleep(0)]
        with pytest.raises(Exception) as expected:
            asyncio.run_coroutine_threadsafe(coroutines[0], None)
        with raises_exact(type(expected.value), str(expected.value)):
            e.execute({"_loop": None}, lambda n: coroutines.append(asyncio.sleep(0)) or coroutines[-1])
        assert e.state_history == [P, R, W, F]
        for c in coroutines:
            c.close()

    def test_loop_on_another_thread_and_coroutine_failure(self):
        loop = asyncio.new_event_loop()
        thread = threading.Thread(target=loop.run_forever)
        thread.start()
        try:
            e = WorkflowEngine(self.WORKFLOW)
            assert e.execute({"_loop": loop}, io_executor([])) == ["sync", "io", "after"]

            async def failing():
                raise OSError("io failed")

            with raises_exact(OSError, "io failed"):
                e.execute({"_loop": loop}, lambda n: failing() if n == "io" else None)
            assert e.state_history == [P, R, W, R, C, R, W, F]
        finally:
            loop.call_soon_threadsafe(loop.stop)
            thread.join()
            loop.close()

    def test_every_step_asks_the_asyncio_iscoroutine_found_at_that_step(self, monkeypatch):
        # The common answer (None from asyncio's own function) is taken without a call; any
        # change to sys.modules["asyncio"] or to its attribute between steps must be seen.
        asked = []

        def recorder(tag):
            return lambda r: asked.append((tag, r)) or False

        def executor(name):
            if name == "b":
                monkeypatch.setattr(asyncio, "iscoroutine", recorder("b"))
            elif name == "c":  # after the module's dict grew (and was rebuilt)
                for i in range(300):
                    monkeypatch.setattr(asyncio, f"_grown_{i}", i, raising=False)
                monkeypatch.setattr(asyncio, "iscoroutine", recorder("c"))
            elif name == "d":
                module = types.ModuleType("asyncio")
                module.iscoroutine = recorder("d")
                monkeypatch.setitem(sys.modules, "asyncio", module)
            elif name == "e":
                monkeypatch.setitem(sys.modules, "asyncio",
                                    types.SimpleNamespace(iscoroutine=recorder("e")))
            elif name == "f":
                monkeypatch.setitem(sys.modules, "asyncio", asyncio)
                monkeypatch.delattr(asyncio, "iscoroutine")
            return None

        e = WorkflowEngine("steps: [a, a2, b, c, d, e, f]")
        with raises_exact(AttributeError, "module 'asyncio' has no attribute 'iscoroutine'"):
            e.execute({}, executor)
        assert asked == [("b", None), ("c", None), ("d", None), ("e", None)]
        assert e.state_history == [P, R, F]

    def test_execute_async_context_is_a_shallow_copy(self):
        e = WorkflowEngine("steps: [first, {flux: if, condition: \"inner['v'] == 2\", then: [seen]}]")
        inner = {"v": 1}
        ctx = {"inner": inner}

        async def main():
            awaitable = e.execute_async(ctx, lambda n: None)
            inner["v"] = 2  # seen: the copy shares the value objects
            ctx["inner"] = {"v": 3}  # not seen: the copy has its own keys
            return await awaitable

        assert asyncio.run(main()) == ["first", "seen"] and "_loop" not in ctx

    def test_execute_async_outside_a_loop_and_subclass_override(self):
        e = WorkflowEngine("steps: [a]")
        with pytest.raises(RuntimeError, match="no running event loop"):
            e.execute_async({}, print)
        assert e.state_history == [P]

        class Logged(WorkflowEngine):
            def execute(self, ctx, executor):
                return ["override", sorted(ctx)]

        async def main():
            return await Logged("steps: [a]", 5).execute_async({"k": 1}, print)

        assert asyncio.run(main()) == ["override", ["_loop", "k"]]


class TestSimulate:
    def test_step_form(self):
        e = WorkflowEngine("""steps: [first, {flux: if, condition: nope, then: [x]},
            {flux: while, condition: "1/0", do: [z]}, {flux: run, steps: [p, {flux: run, steps: [q]}]}]""")
        assert e.simulate({}) == ["first", "p", "q"] and e.state_history == [P]

    def test_graph_form_wins_over_steps(self):
        e = WorkflowEngine(textwrap.dedent("""
            nodes:
              start: a
              a: {next: b}
              b: {next: {"if x > 1": big, not a branch: ignored, else: small}}
              small: {next: a2}
            steps: [never]
        """))
        assert e.simulate({"x": 2}) == ["a", "b", "big"]
        assert e.simulate({"x": 0}) == ["a", "b", "small", "a2"]
        assert e.execute({}, lambda n: None) == ["never"]

    @pytest.mark.parametrize("nodes, ctx, path", [
        ("{start: a}", {}, ["a"]),
        ("{start: missing}", {}, ["missing"]),
        ("{start: a, a: {next: 5}}", {}, ["a"]),
        ("{start: a, a: {next: {}}}", {}, ["a"]),
        ("{start: a, a: {next: {'if False': b}}}", {}, ["a"]),
        ("{start: a, a: {next: {else: b, 'if 1/0': c}}}", {}, ["a", "b"]),
        ("{start: a, a: {next: {'if\tx': b, 'if x': c}}}", {"x": 1}, ["a", "c"]),
        ("{start: !t a, !t a: !t {next: !t {!t else: !t b}}}", {}, ["a", "b"]),
    ])
    def test_graph_walks(self, nodes, ctx, path):
        assert WorkflowEngine(f"nodes: {nodes}").simulate(ctx) == path

    def test_branch_condition_trimming(self):
        def walk(key, ctx):
            return WorkflowEngine(f"nodes:\n  start: a\n  a:\n    next:\n      {key}: b\n").simulate(ctx)

        # White space (Unicode too) goes first, then every quote character at both ends...
        assert walk('"if \u3000 \\"\'x\'\\"\u2003"', {"x": 1}) == ["a", "b"]
        assert walk("if 'x'", {"x": 0}) == ["a"]
        # ...so an expression ending in a string literal loses that literal's closing quote.
        with pytest.raises(SyntaxError):
            walk('"if s == \'v\'"', {"s": "v"})

    @pytest.mark.parametrize("nodes, message", [
        ("{a: 1}", "Missing 'start' node"),
        ("[start]", "Missing 'start' node"),
        ("{start: [a]}", "Start node must be string"),
        ("{start: a, a: {next: {1: b}}}", "Condition key must be string"),
        ("{start: a, a: {next: {skipped: 1}}}", "Target must be string"),
    ])
    def test_graph_errors(self, nodes, message):
        with raises_exact(ValueError, message):
            WorkflowEngine(f"nodes: {nodes}").simulate({})

    def test_walks_are_bounded_generously_and_cost_the_same_per_step(self):
        e = WorkflowEngine("nodes: {start: a, a: {next: {'if seen.append(1) or len(seen) < 5': a, else: b}}, b: {}}")
        assert e.simulate({"seen": []}) == ["a", "a", "a", "a", "a", "b"]
        with raises_exact(ValueError, "Node graph walk exceeded 1000000 nodes at 'a'; the 'next' "
                                      "chain does not reach an end"):
            WorkflowEngine("nodes: {start: a, a: {next: b}, b: {next: a}}").simulate({})
        # A long chain walks in time linear in its length, not in length x graph size.
        chain = ", ".join(f"n{i}: {{next: n{i + 1}}}" for i in range(60_000))
        e = WorkflowEngine(f"nodes: {{start: n0, {chain}}}")
        started = time.monotonic()
        path = e.simulate({})
        assert len(path) == 60_001 and path[-1] == "n60000" and time.monotonic() - started < 3

    def test_signal_handlers_run_during_a_long_walk(self):
        out = run_python("""
            import signal, morva_core
            class Stop(Exception):
                pass
            def stop(*args):
                raise Stop
            signal.signal(signal.SIGALRM, stop)
            e = morva_core.WorkflowEngine("nodes: {start: a, a: {next: b}, b: {next: a}}")
            try:
                signal.setitimer(signal.ITIMER_REAL, 0.01)
                e.simulate({})
            except Stop:
                print("stopped")
        """)
        assert out.stdout == "stopped\n"


class TestInterface:
    def test_fsm_state(self):
        for number, name in enumerate(["Pending", "Running", "WaitingIO", "Complete", "Failed"]):
            state = getattr(FSMState, name)
            assert int(state) == number and state == number and number == state
            assert repr(state) == f"FSMState.{name}" and state != name
        assert FSMState.Failed != 3 and FSMState.Running == True and FSMState.Running != 2**80
        with pytest.raises(TypeError):
            FSMState.Running < FSMState.Failed
        with pytest.raises(TypeError, match="unhashable"):
            hash(FSMState.Running)
        with raises_exact(TypeError, "No constructor defined for FSMState"):
            FSMState()
        with pytest.raises(AttributeError):
            WorkflowEngine("").fsm_state = FSMState.Failed

    def test_signatures_and_docstrings(self):
        assert str(inspect.signature(WorkflowEngine)) == "(yaml_config, max_ops=10000, debug=False)"
        assert FSMState.__doc__ == ("FSM State for Workflow execution tracking.\n"
                                    "Supports: Pending -> Running -> WaitingIO -> Complete/Failed")
        e = WorkflowEngine("")
        for name, sig in {"add_state_observer": "(callback)", "execute": "(ctx, executor)",
                          "execute_async": "(ctx, executor)", "simulate": "(ctx)"}.items():
            assert str(inspect.signature(getattr(e, name))) == sig
        docs = {name: getattr(WorkflowEngine, name).__doc__.splitlines() for name in
                ("add_state_observer", "execute", "execute_async", "simulate", "fsm_state",
                 "state", "state_history")}
        assert docs == {
            "add_state_observer": ["Add an observer callback for state changes.",
                                   "Callback signature: (old_state, new_state) -> None"],
            "execute": ["Execute the workflow using the provided executor callback.", "", "Args:",
                        '    ctx: PyDict - Context for condition evaluation (e.g., {"domain": {...}, "global": {...}})',
                        "    executor: Callable[[str], None] - Function to execute a process by name", "",
                        "Returns:", "    List of executed process names (for debugging/logging)"],
            "execute_async": ["Execute the workflow asynchronously.",
                              "Wraps the synchronous execution in a thread (asyncio.to_thread) to avoid blocking the event loop.",
                              "Handles FSM state transitions correctly for async steps by blocking the worker thread."],
            "simulate": ["Legacy method for backward compatibility with existing tests.",
                         "Returns the simulated execution path without actually executing."],
            "fsm_state": ["Get current FSM state."],
            "state": ["Alias for fsm_state (for test compatibility)."],
            "state_history": ["Get state transition history."],
        }


class TestDebugOutput:
    def test_debug_lines_go_whole_to_file_descriptor_2(self):
        out = run_python(r"""
            import io, sys, morva_core
            sys.stderr = io.StringIO()  # the engine writes to descriptor 2, not to this object
            e = morva_core.WorkflowEngine(r'''steps: ["lo\"ad", {flux: while, condition: "c['n'] < 1",
                do: [inc]}, {flux: if, condition: "missing", then: [x]}]''', debug=True)
            c = {"n": 0}
            try:
                e.execute({"c": c}, lambda n: c.__setitem__("n", c["n"] + (n == "inc")))
            except NameError:
                pass
            morva_core.WorkflowEngine("", debug=True)
            morva_core.WorkflowEngine("nodes: {start: a, a: {next: {'if x': b}}}", debug=True).simulate({"x": 0})
            morva_core.WorkflowEngine("steps: [a]").execute({}, lambda n: None)
        """)
        assert out.stderr.endswith("\n") and out.stderr.splitlines() == [
            "[FLUX-DEBUG] Parsed 3 top-level steps",
            "[FLUX-DEBUG] FSM State: Pending -> Running",
            '[FLUX-DEBUG] Op #1: Process { name: "lo\\"ad" }',
            "[FLUX-DEBUG] Op #2: While { condition: \"c['n'] < 1\", do_steps: [Process { name: \"inc\" }] }",
            "[FLUX-DEBUG] Evaluating condition: 'c['n'] < 1'",
            "[FLUX-DEBUG] Condition result: true",
            '[FLUX-DEBUG] Op #3: Process { name: "inc" }',
            "[FLUX-DEBUG] Evaluating condition: 'c['n'] < 1'",
            "[FLUX-DEBUG] Condition result: false",
            '[FLUX-DEBUG] Op #4: If { condition: "missing", then_steps: [Process { name: "x" }], else_steps: [] }',
            "[FLUX-DEBUG] Evaluating condition: 'missing'",
            "[FLUX-DEBUG] FSM State: Running -> Failed",
            "[FLUX-DEBUG] Parsed 0 top-level steps",
            "[FLUX-DEBUG] Parsed 0 top-level steps",
            "[FLUX-DEBUG] Evaluating condition: 'x'",
            "[FLUX-DEBUG] Condition result: false",
        ]

    @pytest.mark.timeout(60)
    def test_lines_from_threads_are_never_torn(self):
        out = run_python("""
            import threading, morva_core
            e = morva_core.WorkflowEngine("steps: [" + ", ".join(["p" * 300] * 200) + "]", debug=True)
            threads = [threading.Thread(target=e.execute, args=({}, len)) for _ in range(4)]
            for t in threads: t.start()
            for t in threads: t.join()
        """)
        ops = [l for l in out.stderr.splitlines() if "Op #" in l]
        assert len(ops) == 800 and all(l.startswith("[FLUX-DEBUG] Op #") and l.endswith('" }') for l in ops)


def comma_locale(folder):
    """Compiles a locale whose decimal mark is a comma into `folder` and returns its name. The
    sources are written here, so only localedef (libc-bin) is needed, not the locales package."""
    localedef = shutil.which("localedef")
    if localedef is None:
        pytest.skip("localedef (libc-bin) is not installed: no locale with a comma can be made")
    charmap = folder / "ascii.charmap"
    charmap.write_text("<code_set_name> ASCII_COMMA\n<mb_cur_min> 1\n<mb_cur_max> 1\nCHARMAP\n"
                       + "".join(f"<U{i:04X}> \\x{i:02x}\n" for i in range(128))
                       + "END CHARMAP\n")
    source = folder / "comma.source"
    source.write_text('LC_NUMERIC\ndecimal_point ","\nthousands_sep "."\ngrouping 3;3\n'
                      "END LC_NUMERIC\n")
    # -c writes the locale although the categories left out are warned about (exit status 1).
    made = subprocess.run([localedef, "-c", "-i", source, "-f", charmap, folder / "comma_TEST"],
                          capture_output=True, text=True)
    assert (folder / "comma_TEST" / "LC_NUMERIC").exists(), made.stderr
    return "comma_TEST"


def test_numbers_read_and_print_the_same_under_a_comma_locale(tmp_path, monkeypatch):
    name = comma_locale(tmp_path)
    monkeypatch.setenv("LOCPATH", str(tmp_path))
    out = run_python(f"""
        import locale, time, morva_core
        locale.setlocale(locale.LC_ALL, {name!r})
        assert locale.localeconv()["decimal_point"] == ",", locale.localeconv()
        for value in ("1.5", "2.5e3", "-.5", "18446744073709551616", "{{1.5: x}}"):
            try:
                morva_core.WorkflowEngine("steps: [" + value + "]")
            except ValueError as exc:
                print(str(exc).split(": ", 2)[2])
        state = morva_core.State().update(data={{}})
        audit = morva_core.AuditSystem()
        audit.log_fail("k")
        print(repr(state.meta[0]).split(",")[0], str(audit.get_logs()[0]).split("]")[0])
        print(time.time())
    """)
    lines = out.stdout.splitlines()
    assert lines[:5] == ["expected string or mapping, got Number(1.5)",
                         "expected string or mapping, got Number(2500.0)",
                         "expected string or mapping, got Number(-0.5)",
                         "expected string or mapping, got Number(18446744073709551616.0)",
                         'Mapping {1.5: String("x")}']
    meta_time, audit_time = lines[5].split(" ")
    now = float(lines[6])
    assert abs(float(meta_time.removeprefix("MetaLogEntry(time=")) - now) < 60, lines[5]
    assert abs(float(audit_time.removeprefix("[")) - now) < 60, lines[5]
