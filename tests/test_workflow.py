"""Workflow engine: the YAML step format and its errors, conditions, execution with the
operation limit, coroutine processes, the tracked state machine, simulate and debug output."""

import asyncio
import inspect
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import morva_core
from morva_core import FSMState, WorkflowEngine
from conftest import raises_exact

P, R, W, C, F = (FSMState.Pending, FSMState.Running, FSMState.WaitingIO, FSMState.Complete,
                 FSMState.Failed)


def engine(text, **kw):
    return WorkflowEngine(textwrap.dedent(text), **kw)


def run(text, ctx=None, **kw):
    """Executes `text` with an executor that records names; returns (result, calls)."""
    calls = []
    result = engine(text, **kw).execute({} if ctx is None else ctx, calls.append)
    return result, calls


def run_python(code, timeout=60):
    """Runs `code` in a fresh interpreter that imports the module under test."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(morva_core.__file__)] + [p for p in sys.path if p])
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env)


class TestStepFormat:
    @pytest.mark.parametrize("text", ["", "# only a comment", "42", "- a\n- b", "other: 1",
                                      "steps: {a: 1}", "steps: plain", "steps:", "nodes: {}"])
    def test_documents_without_a_step_list_build_an_empty_engine(self, text):
        e = WorkflowEngine(text)
        assert e.execute({}, lambda n: 1 / 0) == []
        if "nodes" not in text:
            assert e.simulate({}) == []

    def test_step_forms(self):
        text = """
            steps:
              - " spaced name "
              - process: load
              - {process: kept, flux: Bogus}
              - !custom tagged
              - flux: if
                condition: "True"
                then: [a]
                else: [b]
              - {flux: if, condition: "False", then: scalar, else: [c]}
              - {flux: if, condition: "True"}
              - flux: run
                steps: [d, {flux: run, steps: [e]}]
        """
        assert run(text)[0] == [" spaced name ", "load", "kept", "tagged", "a", "c", "d", "e"]

    @pytest.mark.parametrize("step, message", [
        ("42", "Invalid step type: expected string or mapping, got Number(42)"),
        ("null", "Invalid step type: expected string or mapping, got Null"),
        ("true", "Invalid step type: expected string or mapping, got Bool(true)"),
        ("-7", "Invalid step type: expected string or mapping, got Number(-7)"),
        ("2.5", "Invalid step type: expected string or mapping, got Number(2.5)"),
        ("[a, 1]", 'Invalid step type: expected string or mapping, got Sequence [String("a"), Number(1)]'),
        ("!t [x]", 'Invalid step type: expected string or mapping, got TaggedValue { tag: !t, value: Sequence [String("x")] }'),
        ("{name: x}", 'Unknown step format: Mapping {"name": String("x")}'),
        ('{"a\\"b\\n": 1, 2: null, false: 0x10, [k]: .inf}',
         'Unknown step format: Mapping {"a\\"b\\n": Number(1), 2: Null, false: Number(16), '
         'Sequence [String("k")]: Number(.inf)}'),
        ("{process: 1}", "'process' value must be a string"),
        ("{process: [a]}", "'process' value must be a string"),
        ("{flux: [while]}", "'flux' value must be a string"),
        ("{flux: while, do: [a]}", "'flux: while' requires 'condition' field"),
        ("{flux: while, condition: 1, do: [a]}", "'flux: while' requires 'condition' field"),
        ("{flux: while, condition: x}", "'flux: while' requires 'do' block"),
        ("{flux: while, condition: x, do: a}", "'flux: while' requires 'do' block"),
        ("{flux: if, then: [a]}", "'flux: if' requires 'condition' field"),
        ("{flux: run}", "'flux: run' requires 'steps' block"),
        ("{flux: run, steps: {a: 1}}", "'flux: run' requires 'steps' block"),
        ("{flux: While, condition: x, do: []}", "Unknown flux type: 'While'"),
        ("{flux: ' run'}", "Unknown flux type: ' run'"),
    ])
    def test_step_errors(self, step, message):
        with raises_exact(ValueError, "Parse error: " + message):
            WorkflowEngine(f"steps:\n  - ok\n  - {step}\n")

    def test_nested_errors_read_like_top_level_ones(self):
        nested = """
            steps:
              - flux: run
                steps:
                  - flux: if
                    condition: "True"
                    then:
                      - flux: while
                        condition: "False"
                        do:
                          - {flux: run}
        """
        with raises_exact(ValueError, "Parse error: 'flux: run' requires 'steps' block"):
            engine(nested)
        with raises_exact(ValueError, "Parse error: 'flux: if' requires 'condition' field"):
            engine("steps: [{flux: if, then: [{flux: nope}]}]")
        # The then branch is parsed before the else branch.
        with raises_exact(ValueError, "Parse error: Unknown flux type: 'a'"):
            engine("steps: [{flux: if, condition: x, else: [{flux: b}], then: [{flux: a}]}]")

    @pytest.mark.parametrize("text, start", [
        ("steps: [a", "Invalid YAML: "),
        ("a: 1\n---\nb: 2\n", "Invalid YAML: more than one document"),
        ("[" * 200 + "]" * 200, "Invalid YAML: recursion limit exceeded"),
        ("steps: [\ud800]", "Invalid YAML: 'utf-8' codec can't encode"),
        ("a: *nothing", "Invalid YAML: unknown anchor"),
    ])
    def test_unreadable_documents(self, text, start):
        with pytest.raises(ValueError) as info:
            WorkflowEngine(text)
        assert type(info.value) is ValueError
        assert str(info.value).startswith(start), str(info.value)

    def test_nesting_depth_bounds_step_nesting(self):
        def nested(levels):
            return "steps: " + "[{flux: run, steps: " * levels + "[x]" + "}]" * levels
        assert run(nested(62))[0] == ["x"]
        with pytest.raises(ValueError, match="^Invalid YAML: recursion limit exceeded"):
            WorkflowEngine(nested(64))

    def test_constructor_arguments(self):
        with raises_exact(TypeError, "WorkflowEngine.__new__() missing 1 required positional argument: 'yaml_config'"):
            WorkflowEngine()
        with raises_exact(TypeError, "argument 'yaml_config': 'bytes' object cannot be converted to 'PyString'"):
            WorkflowEngine(b"steps: []")
        with pytest.raises(OverflowError):
            WorkflowEngine("", max_ops=-1)
        with pytest.raises(OverflowError):
            WorkflowEngine("", max_ops=2**32)
        with pytest.raises(TypeError, match="^argument 'max_ops': "):
            WorkflowEngine("", max_ops="5")
        with raises_exact(TypeError, "argument 'debug': 'int' object cannot be converted to 'PyBool'"):
            WorkflowEngine("", debug=1)
        WorkflowEngine(yaml_config="", max_ops=2**32 - 1, debug=False)


@pytest.mark.timeout(60)
class TestHostileYaml:
    """Hostile texts end in ValueError (or a valid engine), quickly and in bounded memory. Each
    case runs in a child with an address-space cap, so runaway memory fails the child."""

    def check(self, build_text):
        code = f"""
            import resource, time
            {'' if os.environ.get('MORVA_ASAN') else
             'resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))'}
            import morva_core
            text = {build_text}
            start = time.monotonic()
            try:
                morva_core.WorkflowEngine(text)
                outcome = "built"
            except ValueError as exc:
                outcome = "ValueError " + str(exc)[:80]
            print(outcome)
            print(time.monotonic() - start)
        """
        out = run_python(code)
        assert out.returncode == 0, out.stderr[-2000:]
        outcome, seconds = out.stdout.splitlines()
        assert float(seconds) < 10
        return outcome

    def test_billion_laughs(self):
        laughs = ("'a: &a [\"lol\",\"lol\",\"lol\",\"lol\",\"lol\",\"lol\",\"lol\",\"lol\",\"lol\"]\\n'"
                  " + ''.join(f'{chr(98 + i)}: &{chr(98 + i)} [' + ','.join(['*' + chr(97 + i)] * 9)"
                  " + ']\\n' for i in range(9))")
        assert self.check(laughs).startswith("ValueError Invalid YAML: document too large")

    def test_deep_nesting(self):
        assert self.check("'[' * 100000 + ']' * 100000").startswith(
            "ValueError Invalid YAML: recursion limit exceeded")
        assert self.check("'steps:' + ' {a:' * 100000").startswith("ValueError Invalid YAML")
        assert self.check("'- ' * 100000 + 'x'").startswith("ValueError Invalid YAML")

    def test_huge_scalars(self):
        assert self.check("'steps: [' + 'x' * 10_000_000 + ']'") == "built"
        assert self.check("'steps: [\"' + 'x' * 10_000_000 + ']'").startswith("ValueError Invalid YAML")

    def test_random_bytes(self):
        code = """
            import random, morva_core
            rng = random.Random(6)
            seen = set()
            for i in range(400):
                raw = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 300)))
                for text in (raw.decode("latin-1"), raw.decode("utf-8", "surrogateescape")):
                    try:
                        morva_core.WorkflowEngine(text)
                        seen.add("built")
                    except ValueError:
                        seen.add("ValueError")
            print(sorted(seen))
        """
        out = run_python(code)
        assert out.returncode == 0, out.stderr[-2000:]
        assert "ValueError" in out.stdout


class TestConditions:
    def check(self, condition, ctx=None):
        e = engine(f"steps: [{{flux: if, condition: {condition!r}, then: [yes], else: [no]}}]")
        return e.execute({} if ctx is None else ctx, lambda n: None) == ["yes"]

    def test_context_and_builtins(self):
        ctx = {"domain": {"count": 3}}
        assert self.check("domain['count'] > 2", ctx)
        assert self.check("len(domain) == 1", ctx)
        assert self.check("max(abs(-2), min(1, 5), sum([1]), int('3'), int(float('1.5'))) == 3")
        assert self.check("str(bool(None)) == 'False' and True is not None")

    @pytest.mark.parametrize("value, truth", [
        ("[1]", True), ("0", False), ("''", False), ("{}", False), ("None", False), ("'x'", True)])
    def test_truth(self, value, truth):
        assert self.check(value) is truth

    @pytest.mark.parametrize("condition, error", [
        ("global['x']", SyntaxError), ("", SyntaxError), ("x = 1", SyntaxError),
        ("print('x')", NameError), ("open", NameError), ("__import__('os')", NameError),
        ("getattr(1, 'real')", NameError), ("missing", NameError), ("1 / 0", ZeroDivisionError),
        ("d['k']", KeyError),
    ])
    def test_errors_propagate_unchanged(self, condition, error):
        e = engine(f"steps: [{{flux: if, condition: {condition!r}}}]")
        for _ in range(2):  # the same failure at every evaluation
            with pytest.raises(error) as info:
                e.execute({"d": {}}, lambda n: None)
            assert type(info.value) is error
        assert e.state_history == [P, R, F, R, F]
        if error is SyntaxError:
            assert info.value.filename == "<string>"

    def test_truth_method_errors_propagate(self):
        class Bad:
            def __bool__(self):
                raise LookupError("no truth")

        with raises_exact(LookupError, "no truth"):
            self.check("bad", {"bad": Bad()})

    def test_embedded_nul(self):
        e = engine('steps: [{flux: while, condition: "x\\0y", do: [a]}]')
        for _ in range(2):
            with raises_exact(ValueError, "nul byte found in provided data at position: 1"):
                e.execute({}, lambda n: None)

    def test_namespace_is_rebuilt_for_every_evaluation(self):
        import builtins

        e = engine("steps: [{flux: if, condition: 'len(x) == 99 and (y := 5) == 5', then: [a]}]")
        ctx = {"x": [1]}
        assert e.execute(ctx, lambda n: None) == []
        original = builtins.len
        builtins.len = lambda obj: 99  # seen by the next evaluation, not cached
        try:
            assert e.execute(ctx, lambda n: None) == ["a"]
        finally:
            builtins.len = original
        assert e.execute(ctx, lambda n: None) == []
        assert "y" not in ctx
        # A context key __builtins__ replaces the restricted builtins entirely.
        with pytest.raises(NameError):
            e.execute({"x": [], "__builtins__": {}}, lambda n: None)

    def test_builtins_dict_is_fresh_each_time(self):
        text = "steps: [{flux: while, condition: \"seen.append(__builtins__) or len(seen) < 3\", do: [a]}]"
        seen = []
        engine(text).execute({"seen": seen}, lambda n: seen[-1].clear())
        assert len(seen) == 3
        assert len({id(b) for b in seen}) == 3 or all(b == {} for b in seen[:2])
        assert list(seen[2]) == ["len", "int", "float", "str", "bool", "abs", "min", "max",
                                 "sum", "True", "False", "None"]

    def test_loop_visible_under_execute_async(self):
        e = engine("steps: [{flux: if, condition: '_loop.is_running()', then: [a]}]")

        async def main():
            return await e.execute_async({}, lambda n: None)

        assert asyncio.run(main()) == ["a"]


class TestExecution:
    def test_new_engine(self):
        e = WorkflowEngine("steps: [a]")
        assert e.fsm_state == P and e.state == P and e.state_history == [P]
        assert e.fsm_state is not e.fsm_state

    def test_empty_workflow_and_observers(self):
        e = WorkflowEngine("")
        seen = []
        e.add_state_observer(lambda old, new: seen.append((old, new)))
        assert e.execute({}, None) == []
        assert e.state_history == [P, R, C]
        assert seen == [(P, R), (R, C)]
        assert all(type(s) is FSMState for pair in seen for s in pair)

    def test_results_and_executor_arguments(self):
        got = []
        result = WorkflowEngine("steps: [a, b, a]").execute({}, lambda *args, **kw: got.append((args, kw)) or 5)
        assert result == ["a", "b", "a"]
        assert got == [(("a",), {})] * 1 + [(("b",), {}), (("a",), {})]

    @pytest.mark.parametrize("max_ops, steps, calls, ok", [
        (0, "[a]", 0, False),
        (3, "[a, b, c, d]", 3, False),
        (4, "[a, b, c, d]", 4, True),
        (3, "[{flux: run, steps: [a, b]}]", 2, True),
        (2, "[{flux: run, steps: [a, b]}]", 1, False),
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
            with raises_exact(RuntimeError, f"Flux Safety Trip: Exceeded {max_ops} operations. "
                                            "Check for infinite loops."):
                e.execute({}, recorded.append)
            assert e.state_history[-1] == F
        assert len(recorded) == calls

    def test_while_loop_over_a_counter(self):
        counter = {"n": 0}

        def executor(name):
            counter["n"] += 1

        text = "steps: [{flux: while, condition: \"c['n'] < 4\", do: [inc, {process: more}]}, end]"
        assert WorkflowEngine(text).execute({"c": counter}, executor) == ["inc", "more"] * 2 + ["end"]
        assert counter["n"] == 5

    def test_empty_while_body_is_bounded(self):
        e = WorkflowEngine("steps: [{flux: while, condition: 'True', do: []}]", max_ops=50)
        with raises_exact(RuntimeError, "Flux Safety Trip: Exceeded 50 operations. Check for infinite loops."):
            e.execute({}, None)
        # A body-less loop whose condition changes what it reads still ends normally.
        items = list(range(10))
        e = WorkflowEngine("steps: [{flux: while, condition: 'items.pop()', do: []}]", max_ops=50)
        assert e.execute({"items": items}, None) == [] and items == []
        # Each turn costs one operation: 1 (the while step) + 9 true turns.
        with pytest.raises(RuntimeError, match="Exceeded 9 operations"):
            WorkflowEngine("steps: [{flux: while, condition: 'items.pop()', do: []}]",
                           max_ops=9).execute({"items": list(range(10))}, None)

    def test_executor_failure(self):
        error = KeyError("boom")

        def executor(name):
            if name == "b":
                raise error

        e = WorkflowEngine("steps: [a, b, c]")
        with pytest.raises(KeyError) as info:
            e.execute({}, executor)
        assert info.value is error
        assert e.state_history == [P, R, F]
        e2 = WorkflowEngine("steps: [a]")
        e2.execute({}, executor)
        with pytest.raises(TypeError):
            e2.execute({}, None)  # None is not callable: that error ends the run
        assert e2.state_history == [P, R, C, R, F]

    def test_ctx_must_be_a_dict(self):
        e = WorkflowEngine("steps: [a]")
        with raises_exact(TypeError, "argument 'ctx': 'list' object cannot be converted to 'PyDict'"):
            e.execute([], print)
        with raises_exact(TypeError, "WorkflowEngine.execute() missing 1 required positional argument: 'executor'"):
            e.execute({})
        with raises_exact(TypeError, "argument 'ctx': 'NoneType' object cannot be converted to 'PyDict'"):
            e.simulate(None)
        assert e.state_history == [P]

        class D(dict):
            pass

        assert e.execute(D(), lambda n: None) == ["a"]


class TestObservers:
    def test_order_failures_and_non_callables(self):
        e = WorkflowEngine("steps: [a]")
        seen = []

        def failing(old, new):
            seen.append(("failing", int(old), int(new)))
            raise ValueError("observer failure")

        e.add_state_observer(failing)
        e.add_state_observer(42)
        e.add_state_observer(lambda: seen.append("wrong arity"))
        e.add_state_observer(lambda old, new: seen.append(("second", int(old), int(new))))
        assert e.execute({}, lambda n: None) == ["a"]
        assert seen == [("failing", 0, 1), ("second", 0, 1), ("failing", 1, 3), ("second", 1, 3)]

    def test_observer_sees_new_state_and_may_reenter(self):
        e = WorkflowEngine("steps: [a]")
        seen = []

        def observer(old, new):
            seen.append((e.fsm_state, len(e.state_history)))
            if len(seen) == 1:
                e.add_state_observer(lambda o, n: seen.append("late"))

        e.add_state_observer(observer)
        e.execute({}, lambda n: None)
        assert seen == [(R, 2), (C, 3), "late"]

    def test_observer_error_does_not_replace_run_error(self):
        e = WorkflowEngine("steps: [a]")
        e.add_state_observer(lambda o, n: 1 / 0)
        with raises_exact(LookupError, "x"):
            e.execute({}, lambda n: (_ for _ in ()).throw(LookupError("x")))


class TestReentrancyAndThreads:
    def test_executor_calls_back_into_the_engine(self):
        e = WorkflowEngine("steps: [outer, {flux: if, condition: 'len(eng.state_history) > 0', then: [done]}]")
        inner = []

        def executor(name):
            if name == "outer":
                assert e.fsm_state == R
                inner.append(e.execute({"eng": e}, lambda n: None))
                assert e.fsm_state == C  # the nested run completed

        assert e.execute({"eng": e}, executor) == ["outer", "done"]
        assert inner == [["outer", "done"]]
        assert e.state_history == [P, R, R, C, C]

    @pytest.mark.timeout(120)
    def test_unbounded_reentry_ends_in_recursion_error_not_a_crash(self):
        # With Python's recursion limit raised far beyond what the C stack holds, re-entering
        # the engine from an executor or a condition must still stop cleanly.
        code = """
            import sys, threading, morva_core
            sys.setrecursionlimit(1_000_000)
            e = morva_core.WorkflowEngine("steps: [a]")
            def executor(name):
                e.execute({}, executor)
            g = morva_core.WorkflowEngine("nodes: {start: a, a: {next: {'if f()': b}}}")
            def f():
                return g.simulate({"f": f})
            def main():
                for call in (lambda: executor("a"), f):
                    try:
                        call()
                    except RecursionError as exc:
                        print(exc)
            main()
            threading.stack_size(1 << 20)
            t = threading.Thread(target=main)
            t.start()
            t.join()
        """
        out = run_python(code, timeout=110)
        assert out.returncode == 0, out.stderr[-2000:]
        assert out.stdout.splitlines() == [
            "maximum recursion depth exceeded while running a workflow",
            "maximum recursion depth exceeded while simulating a workflow"] * 2

    @pytest.mark.timeout(60)
    def test_parallel_runs_share_history(self):
        e = WorkflowEngine("steps: [{flux: while, condition: \"c['n'] < 200\", do: [step]}]")
        results = {}
        barrier = threading.Barrier(4)

        def worker(i):
            counter = {"n": 0}
            barrier.wait()
            results[i] = e.execute({"c": counter}, lambda n: counter.__setitem__("n", counter["n"] + 1))

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert all(len(r) == 200 for r in results.values()) and len(results) == 4
        history = e.state_history
        assert len(history) == 9 and history.count(R) == 4 and history.count(C) == 4


class TestCoroutineProcesses:
    WORKFLOW = "steps: [sync, io, after]"

    @staticmethod
    def executor(log):
        def run(name):
            if name == "io":
                async def work():
                    await asyncio.sleep(0)
                    log.append("awaited")
                    return "ignored"
                return work()
            log.append(name)
        return run

    @pytest.mark.timeout(30)
    def test_execute_async(self):
        e = WorkflowEngine(self.WORKFLOW)
        log = []
        seen = []
        e.add_state_observer(lambda o, n: seen.append(int(n)))

        async def main():
            return await e.execute_async({}, self.executor(log))

        assert asyncio.run(main()) == ["sync", "io", "after"]
        assert log == ["sync", "awaited", "after"]
        assert e.state_history == [P, R, W, R, C]
        assert seen == [1, 2, 1, 3]

    def test_missing_loop(self):
        e = WorkflowEngine(self.WORKFLOW)
        with raises_exact(RuntimeError, "Async process returned coroutine but '_loop' missing in "
                                        "context. Ensure you used execute_async() or provided '_loop'."):
            with pytest.warns(RuntimeWarning, match="never awaited"):
                e.execute({}, self.executor([]))
                import gc
                gc.collect()
        assert e.state_history == [P, R, F]

    @pytest.mark.timeout(30)
    def test_loop_of_the_calling_thread_is_refused(self):
        e = WorkflowEngine(self.WORKFLOW)

        async def main():
            return e.execute({"_loop": asyncio.get_running_loop()}, self.executor([]))

        with pytest.raises(RuntimeError, match="'_loop' is the event loop running on this thread"):
            with pytest.warns(RuntimeWarning, match="never awaited"):
                asyncio.run(main())
        assert e.state_history == [P, R, F]

    @pytest.mark.timeout(30)
    def test_loop_on_another_thread_and_coroutine_failure(self):
        loop = asyncio.new_event_loop()
        thread = threading.Thread(target=loop.run_forever)
        thread.start()
        try:
            e = WorkflowEngine(self.WORKFLOW)
            log = []
            assert e.execute({"_loop": loop}, self.executor(log)) == ["sync", "io", "after"]

            async def failing():
                raise OSError("io failed")

            with raises_exact(OSError, "io failed"):
                e.execute({"_loop": loop}, lambda n: failing() if n == "io" else None)
            assert e.state_history == [P, R, W, R, C, R, W, F]
        finally:
            loop.call_soon_threadsafe(loop.stop)
            thread.join()
            loop.close()

    def test_execute_async_context_is_a_shallow_copy(self):
        e = WorkflowEngine("steps: [first, {flux: if, condition: \"inner['v'] == 2\", then: [seen]}]")
        inner = {"v": 1}
        ctx = {"inner": inner}

        async def main():
            awaitable = e.execute_async(ctx, lambda n: None)
            inner["v"] = 2  # seen: the copy shares the value objects
            ctx["inner"] = {"v": 3}  # not seen: the copy has its own keys
            return await awaitable

        assert asyncio.run(main()) == ["first", "seen"]
        assert "_loop" not in ctx

    def test_execute_async_outside_a_loop_and_subclass_override(self):
        e = WorkflowEngine("steps: [a]")
        with pytest.raises(RuntimeError, match="no running event loop"):
            e.execute_async({}, print)
        assert e.state_history == [P]

        class Logged(WorkflowEngine):
            def execute(self, ctx, executor):
                return ["override", sorted(ctx)]

        async def main():
            return await Logged("steps: [a]").execute_async({"k": 1}, print)

        assert asyncio.run(main()) == ["override", ["_loop", "k"]]


class TestSimulate:
    def test_step_form(self):
        e = engine("""
            steps:
              - first
              - {flux: if, condition: "undefined_name", then: [x], else: [y]}
              - {flux: while, condition: "1/0", do: [z]}
              - {flux: run, steps: [p, {flux: run, steps: [q]}]}
        """)
        assert e.simulate({}) == ["first", "p", "q"]
        assert e.state_history == [P]

    GRAPH = """
        nodes:
          start: a
          a: {next: b}
          b:
            next:
              "if  'x > 1' ": big
              not a branch: ignored
              else: small
          big: {}
          small: {next: a2}
        steps: [never]
    """

    def test_graph_form(self):
        e = engine(self.GRAPH)
        assert e.simulate({"x": 2}) == ["a", "b", "big"]
        assert e.simulate({"x": 0}) == ["a", "b", "small", "a2"]
        assert e.execute({}, lambda n: None) == ["never"]

    @pytest.mark.parametrize("nodes, ctx, path", [
        ("{start: a}", {}, ["a"]),
        ("{start: a, a: {next: b}, b: {}}", {}, ["a", "b"]),
        ("{start: missing}", {}, ["missing"]),
        ("{start: a, a: 5}", {}, ["a"]),
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
        # White space (Unicode too) goes first, then every quote character at both ends.
        def walk(key, ctx):
            text = f"nodes:\n  start: a\n  a:\n    next:\n      {key}: b\n"
            return WorkflowEngine(text).simulate(ctx)

        assert walk('"if \u3000 \\"\'x\'\\"\u2003"', {"x": 1}) == ["a", "b"]
        assert walk("""'if ""x == 1'''""", {"x": 1}) == ["a", "b"]
        assert walk("if 'x'", {"x": 0}) == ["a"]
        # An expression ending in a string literal loses that literal's closing quote.
        with pytest.raises(SyntaxError):
            walk('"if s == \'v\'"', {"s": "v"})

    @pytest.mark.parametrize("nodes, message", [
        ("{a: 1}", "Missing 'start' node"),
        ("[start]", "Missing 'start' node"),
        ("{start: [a]}", "Start node must be string"),
        ("{start: a, a: {next: {1: b}}}", "Condition key must be string"),
        ("{start: a, a: {next: {else: 1}}}", "Target must be string"),
        ("{start: a, a: {next: {skipped: 1}}}", "Target must be string"),
    ])
    def test_graph_errors(self, nodes, message):
        with raises_exact(ValueError, message):
            WorkflowEngine(f"nodes: {nodes}").simulate({})

    def test_condition_errors_propagate(self):
        e = WorkflowEngine("nodes: {start: a, a: {next: {'if boom': b}}}")
        with pytest.raises(NameError):
            e.simulate({})

    @pytest.mark.timeout(30)
    def test_cycles_are_bounded(self):
        e = WorkflowEngine("nodes: {start: a, a: {next: b}, b: {next: a}}")
        with raises_exact(ValueError, "Node graph cycle: the walk exceeded 4 nodes at 'a'; the "
                                      "'next' chain never reaches an end"):
            e.simulate({})
        e = WorkflowEngine("nodes: {start: a, a: {next: {'if x': a, else: b}}}")
        assert e.simulate({"x": 0}) == ["a", "b"]
        with pytest.raises(ValueError, match="^Node graph cycle"):
            e.simulate({"x": 1})
        # The longest walk without a cycle is allowed.
        chain = ", ".join(f"n{i}: {{next: n{i + 1}}}" for i in range(50))
        assert len(WorkflowEngine(f"nodes: {{start: n0, {chain}}}").simulate({})) == 51


class TestFSMState:
    def test_values(self):
        names = ["Pending", "Running", "WaitingIO", "Complete", "Failed"]
        for number, name in enumerate(names):
            state = getattr(FSMState, name)
            assert int(state) == number and state == number and number == state
            assert repr(state) == f"FSMState.{name}"
            assert state != name
        assert FSMState.Failed == 4 and FSMState.Failed != 3 and FSMState.Running == True
        assert FSMState.Running != 2**80 and FSMState.Running != 1.0
        assert WorkflowEngine("").state == FSMState.Pending

    def test_no_ordering_hash_or_constructor(self):
        with pytest.raises(TypeError):
            FSMState.Running < FSMState.Failed
        with pytest.raises(TypeError, match="unhashable"):
            hash(FSMState.Running)
        with raises_exact(TypeError, "No constructor defined for FSMState"):
            FSMState()
        with pytest.raises(TypeError):
            type("Sub", (FSMState,), {})
        with pytest.raises(AttributeError):
            FSMState.Running.other = 1


class TestInterface:
    def test_signatures_and_docstrings(self):
        assert str(inspect.signature(WorkflowEngine)) == "(yaml_config, max_ops=10000, debug=False)"
        assert FSMState.__doc__ == ("FSM State for Workflow execution tracking.\n"
                                    "Supports: Pending -> Running -> WaitingIO -> Complete/Failed")
        e = WorkflowEngine("")
        sigs = {"add_state_observer": "(callback)", "execute": "(ctx, executor)",
                "execute_async": "(ctx, executor)", "simulate": "(ctx)"}
        for name, sig in sigs.items():
            assert str(inspect.signature(getattr(e, name))) == sig
        assert WorkflowEngine.add_state_observer.__doc__ == (
            "Add an observer callback for state changes.\n"
            "Callback signature: (old_state, new_state) -> None")
        assert WorkflowEngine.execute.__doc__.splitlines() == [
            "Execute the workflow using the provided executor callback.", "", "Args:",
            '    ctx: PyDict - Context for condition evaluation (e.g., {"domain": {...}, "global": {...}})',
            "    executor: Callable[[str], None] - Function to execute a process by name", "",
            "Returns:", "    List of executed process names (for debugging/logging)"]
        assert WorkflowEngine.execute_async.__doc__.splitlines()[1:] == [
            "Wraps the synchronous execution in a thread (asyncio.to_thread) to avoid blocking the event loop.",
            "Handles FSM state transitions correctly for async steps by blocking the worker thread."]
        assert WorkflowEngine.simulate.__doc__ == (
            "Legacy method for backward compatibility with existing tests.\n"
            "Returns the simulated execution path without actually executing.")
        assert WorkflowEngine.fsm_state.__doc__ == "Get current FSM state."
        assert WorkflowEngine.state.__doc__ == "Alias for fsm_state (for test compatibility)."
        assert WorkflowEngine.state_history.__doc__ == "Get state transition history."

    def test_read_only_properties_and_subclassing(self):
        e = WorkflowEngine("")
        with pytest.raises(AttributeError):
            e.fsm_state = FSMState.Failed

        class Sub(WorkflowEngine):
            pass

        s = Sub("steps: [a]", 5)
        assert s.execute({}, lambda n: None) == ["a"] and type(s) is Sub


class TestDebugOutput:
    def test_debug_lines_go_whole_to_file_descriptor_2(self):
        code = r"""
            import io, sys, morva_core
            sys.stderr = io.StringIO()  # the engine writes to descriptor 2, not to this object
            e = morva_core.WorkflowEngine(r'''
            steps:
              - "lo\"ad"
              - {flux: while, condition: "c['n'] < 1", do: [inc]}
              - {flux: if, condition: "missing", then: [x]}
            ''', debug=True)
            c = {"n": 0}
            try:
                e.execute({"c": c}, lambda n: c.__setitem__("n", c["n"] + (n == "inc")))
            except NameError:
                pass
            morva_core.WorkflowEngine("", debug=True)
            morva_core.WorkflowEngine("nodes: {start: a, a: {next: {'if x': b}}}", debug=True).simulate({"x": 0})
            morva_core.WorkflowEngine("steps: [a]").execute({}, lambda n: None)
        """
        out = run_python(code)
        assert out.returncode == 0, out.stderr
        assert out.stderr.splitlines() == [
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
        assert out.stderr.endswith("\n")

    @pytest.mark.timeout(60)
    def test_lines_from_threads_are_never_torn(self):
        code = r"""
            import threading, morva_core
            e = morva_core.WorkflowEngine("steps: [" + ", ".join(["p" * 300] * 200) + "]",
                                          debug=True)
            threads = [threading.Thread(target=e.execute, args=({}, len)) for _ in range(4)]
            for t in threads: t.start()
            for t in threads: t.join()
        """
        out = run_python(code)
        assert out.returncode == 0, out.stderr[-2000:]
        lines = out.stderr.splitlines()
        ops = [l for l in lines if "Op #" in l]
        assert len(ops) == 800
        assert all(l.startswith("[FLUX-DEBUG] Op #") and l.endswith(' }') for l in ops)
