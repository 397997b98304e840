"""MorvaEngine, Transaction, OutboxCollector, outbox delivery and async process launch."""

import asyncio
import functools
import threading
import time
import weakref

import pytest

from morva_core import (ContextError, MorvaEngine, OutboxCollector, OutboxMsg, ProcessContext,
                        SchemaViolationError, State, Transaction, WriteTimeoutError)
from conftest import raises_exact


def commit(engine, data=None, messages=(), **kw):
    with engine.transaction(**kw) as tx:
        tx.update(data=data)
        for topic, payload in messages:
            tx.outbox.add(OutboxMsg(topic, payload))


def drain(engine):
    seen = []
    engine.attach_worker(seen.append)
    engine.process_outbox()
    return [m.topic for m in seen]


def schema(fn):
    return type("Schema", (), {"model_validate": staticmethod(fn)})


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class SpyEngine(MorvaEngine):
    """Its current state records what a commit hands to `update`; commits go through lookup."""

    def __init__(self):
        self.calls, self.commits = [], []

    @property
    def state(self):
        return self

    def update(self, *args):
        self.calls.append(args)
        return State()

    def commit_state(self, state):
        self.commits.append(state)
        super().commit_state(state)


def test_compare_and_swap():
    engine = MorvaEngine()
    assert engine.state is engine.state and engine.state.version == 1
    with raises_exact(ContextError, "CAS Version Mismatch: Expected 0, Found 1"):
        engine.compare_and_swap(0)
    assert engine.compare_and_swap(1) is None  # no arguments still advances by one
    engine.compare_and_swap(expected_version=2, data={"a": 1}, heavy={"h": 2})
    before = engine.state
    with raises_exact(ContextError, "CAS Version Mismatch: Expected 2, Found 3"):
        engine.compare_and_swap(2, {"a": 2})
    with pytest.raises(OverflowError):
        engine.compare_and_swap(-1)
    with pytest.raises(TypeError, match="^argument 'expected_version': "):
        engine.compare_and_swap("3")
    with raises_exact(TypeError, "'list' object cannot be converted to 'PyDict'"):
        engine.compare_and_swap(3, [1])
    assert engine.state is before and before.data["a"] == 1 and before.version == 3


def test_commit_state_and_slots():
    engine = MorvaEngine()
    old = engine.state
    engine.compare_and_swap(1)
    engine.commit_state(old)  # versions may go backwards
    engine.compare_and_swap(1)
    assert engine.state.version == 2
    with raises_exact(TypeError, "argument 'state': 'int' object cannot be converted to 'State'"):
        engine.commit_state(42)
    assert engine.state.version == 2
    with raises_exact(TypeError, "argument 'strict': 'int' object cannot be converted to 'PyBool'"):
        engine.set_strict_mode(1)
    engine.set_strict_mode(True)
    audit = type("Audit", (), {})()
    ref = weakref.ref(audit)
    engine.set_audit_system(audit)
    del audit
    assert ref() is not None
    engine.set_audit_system(None)
    assert ref() is None and not hasattr(engine, "audit")


def test_replaced_state_is_released_after_the_swap():
    engine, seen = MorvaEngine(), []
    probe = type("Probe", (), {"__del__": lambda self: seen.append(engine.state.version)})
    engine.commit_state(State(data={"p": probe()}, version=7))
    engine.commit_state(State(version=8))
    assert seen == [8]  # the finalizer could read the engine: it ran after the swap


@pytest.mark.timeout(30)
def test_reentry_is_refused_but_another_thread_waits():
    engine, inside, entered, results = MorvaEngine(), [], threading.Event(), []

    class Slow:
        def __str__(self):
            for attempt in (lambda: engine.state, lambda: engine.commit_state(State())):
                try:
                    attempt()
                except RuntimeError as e:
                    inside.append(str(e))
            entered.set()
            time.sleep(0.2)
            return "slow"

    t = threading.Thread(target=lambda: entered.wait(10) and results.append(engine.state.version))
    t.start()
    engine.compare_and_swap(1, signal={"sig": Slow()})
    t.join(10)
    assert inside == ["Already mutably borrowed", "Already borrowed"]
    assert results == [2]  # the reader waited for the swap instead of failing


def test_transaction_stages_with_dict_merge_and_commits_through_lookup():
    engine = SpyEngine()
    tx = engine.transaction()
    tx.update(data=[("a", 1)], signal={"s": 1})
    tx.update(data={"a": 2, "b": 3}, heavy={"h": 1}, signal={"s": 2})
    # A call that fails stages nothing, not even the zones before the failing one.
    with pytest.raises(TypeError, match="dictionary update sequence"):
        tx.update(data={"c": 4}, heavy=[1], signal={"lost": 1})
    with pytest.raises(ZeroDivisionError):
        tx.update(data={"c": 4}, heavy=map(lambda kv: kv if kv else 1 / 0, [("h", 9), ()]))
    with tx:
        pass
    (data, heavy, signals), = engine.calls
    assert data == {"a": 2, "b": 3} and heavy == {"h": 1}
    assert signals == [{"s": 1}, {"s": 2}] and len(engine.commits) == 1


def test_staging_made_by_python_code_during_a_merge_is_kept():
    # A key's __eq__ runs while the merge is built aside and stages into the same transaction:
    # the merge is made again on top of it instead of overwriting it.
    engine = SpyEngine()
    tx = engine.transaction()
    tx.update(data={"a": 1})

    class Key:
        staged = False

        def __hash__(self):
            return hash("a")

        def __eq__(self, other):
            if not Key.staged:
                Key.staged = True
                tx.update(data={"side": 2}, signal={"s": 1})
            return False

    key = Key()
    tx.update(data={key: 3})
    with tx:
        pass
    (data, heavy, signals), = engine.calls
    assert data == {"a": 1, "side": 2, key: 3} and signals == [{"s": 1}]


def test_transaction_commit_and_reexit():
    engine = MorvaEngine()
    nested = {"x": 1}
    tx = engine.transaction()
    with tx:
        tx.update(data={"a": 1, "n": nested})
        tx.outbox.add(OutboxMsg("first", 1))
    assert engine.state.version == 2 and engine.state.data["n"] is nested
    engine.compare_and_swap(2, {"c": 1})
    with tx:  # staging is never cleared: applied again, to the state current at exit
        tx.outbox.add(OutboxMsg("second", 2))
    assert engine.state.version == 4 and sorted(engine.state.data.keys()) == ["a", "c", "n"]
    assert drain(engine) == ["first", "second"]
    assert tx.write_timeout_ms == 5000 and engine.transaction(7).write_timeout_ms == 7


def test_failed_body_or_commit_changes_nothing_and_keeps_staging():
    engine = MorvaEngine()
    commit(engine, messages=[("old", 0)])
    before = engine.state
    with pytest.raises(KeyError):
        with engine.transaction() as tx:
            tx.update(data={"a": 1})
            tx.outbox.add(OutboxMsg("t", 1))
            raise KeyError("body")
    assert tx.__exit__(ValueError, ValueError("x"), None) is None and engine.state is before
    with raises_exact(TypeError, "'int' object cannot be converted to 'PyDict'"):
        with engine.transaction() as bad:
            bad.update(signal=5)
    assert engine.state is before and drain(engine) == ["old"]
    tx.__exit__(None, None, None)  # a later clean exit commits what the body staged
    assert engine.state.data["a"] == 1 and drain(engine) == ["t"]


def test_messages_keep_add_order_across_collectors():
    engine = MorvaEngine()
    commit(engine, messages=[("queued", 0)])
    tx = engine.transaction()
    one, two = tx.outbox, tx.outbox
    assert type(one) is OutboxCollector and one is not two
    one.add(OutboxMsg("a", 1))
    two.add(msg=OutboxMsg("b", 2))
    one.add(OutboxMsg("c", 3))
    tx.__exit__()
    assert drain(engine) == ["queued", "a", "b", "c"]
    with raises_exact(TypeError, "argument 'msg': 'str' object cannot be converted to 'OutboxMsg'"):
        one.add("m")
    with raises_exact(TypeError, "No constructor defined for OutboxCollector"):
        OutboxCollector()


def test_transaction_constructor():
    tx = Transaction()
    with tx:
        tx.update(data={"a": 1})
    with raises_exact(TypeError, "argument 'engine': 'int' object cannot be converted to 'MorvaEngine'"):
        Transaction(engine=42)
    engine = MorvaEngine()
    Transaction(engine, 10).__exit__()
    assert engine.state.version == 2


def test_write_timeout():
    engine = MorvaEngine()
    with pytest.raises(WriteTimeoutError) as info:
        with engine.transaction(0) as tx:
            time.sleep(0.005)
    elapsed = int(str(info.value).split("after ")[1].split("ms")[0])
    assert elapsed >= 5 and str(info.value) == f"Transaction timed out after {elapsed}ms (limit 0ms)"
    assert engine.state.version == 1
    tx.__enter__()  # re-entering restarts the clock; a body well under 1 ms passes
    for _ in range(20):  # retried so that one descheduled run does not decide the outcome
        try:
            tx.__exit__()
            break
        except WriteTimeoutError:
            tx.__enter__()
    assert engine.state.version == 2
    late = engine.transaction(0)
    time.sleep(0.005)
    late.__exit__(None, None, None)  # never entered: no time check
    assert engine.state.version == 3


def test_pydantic_schema():
    pydantic = pytest.importorskip("pydantic", reason="needs pydantic, not installed for this "
                                   "interpreter")

    class Model(pydantic.BaseModel):
        count: int

    engine = MorvaEngine()
    engine.set_schema(Model)
    commit(engine, {"count": 3}, messages=[("kept", 1)])
    before = engine.state
    with pytest.raises(SchemaViolationError) as info:
        commit(engine, {"count": "many"}, messages=[("never", 1)])
    assert str(info.value).startswith("Schema Violation: ValidationError: 1 validation error for Model")
    assert isinstance(info.value.__cause__, pydantic.ValidationError)
    assert engine.state is before and drain(engine) == ["kept"]
    last = before.meta[-1]  # the failed commit's update already logged its entry
    assert (last.key, last.message) == ("state_update", "State updated to version 3")


def test_schema_failure_texts():
    engine = MorvaEngine()
    seen = []
    engine.set_schema(schema(seen.append))
    commit(engine, {"a": 1})
    assert seen == [{"a": 1}] and type(seen[0]) is dict
    cases = [
        (schema(lambda d: (_ for _ in ()).throw(ValueError("bad"))), "ValueError: bad"),
        (schema(lambda d: (_ for _ in ()).throw(Unprintable())), "Unprintable: <exception str() failed>"),
        (None, "AttributeError: 'NoneType' object has no attribute 'model_validate'"),
    ]
    for obj, text in cases:
        engine.set_schema(obj)
        with raises_exact(SchemaViolationError, "Schema Violation: " + text):
            commit(engine)
    engine.set_schema(schema(lambda d: (_ for _ in ()).throw(KeyboardInterrupt())))
    with pytest.raises(KeyboardInterrupt):  # an interrupt is not a verdict on the data
        commit(engine)
    assert engine.state.version == 2


@pytest.mark.timeout(30)
def test_schema_reentry():
    engine, calls, inside = MorvaEngine(), [], []
    tx = engine.transaction()

    def first(data):
        calls.append("first")
        engine.set_schema(schema(lambda d: calls.append("second")))  # slot is free: no hang
        for attempt in (tx.__enter__, lambda: engine.commit_state(State()),
                        lambda: engine.compare_and_swap(1), lambda: commit(engine)):
            try:
                attempt()
            except RuntimeError as e:
                inside.append(str(e))
        tx.update(data={"late": engine.state.version})  # shared on shared is fine

    engine.set_schema(schema(first))
    tx.__exit__()
    commit(engine)
    # The nested commit gets as far as its own schema check, then commit_state is refused.
    assert calls == ["first", "second", "second"] and inside == ["Already borrowed"] * 4
    assert engine.state.version == 3


@pytest.mark.timeout(30)
def test_other_threads_wait_for_a_slow_schema_and_no_update_is_lost():
    engine, entered, marks = MorvaEngine(), threading.Event(), {}

    def slow(data):
        entered.set()
        time.sleep(0.05)
        marks.setdefault("validated", time.monotonic())

    engine.set_schema(schema(slow))

    def other():
        entered.wait(10)
        with pytest.raises(ContextError):  # waits for the exclusive access, then compares
            engine.compare_and_swap(0)
        marks["other"] = time.monotonic()

    threads = [threading.Thread(target=other)]
    threads += [threading.Thread(target=commit, args=(engine, {f"k{i}": i})) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert marks["other"] >= marks["validated"]
    assert engine.state.version == 5 and sorted(engine.state.data.keys()) == ["k0", "k1", "k2", "k3"]


def test_shadow_and_log_hook():
    tx = Transaction()
    inner = [1]
    copy = tx.get_shadow([inner, 2], "a.b")
    assert copy == [inner, 2] and copy[0] is not inner
    with raises_exact(TypeError, "argument '_path': 'int' object cannot be converted to 'PyString'"):
        tx.get_shadow([], 1)
    with pytest.raises(ValueError, match="nope"):
        tx.get_shadow(type("X", (), {"__deepcopy__": lambda s, m: int("nope")})())
    assert tx.log_internal("p", "SET") is None
    assert tx.log_internal("p", "SET_ITEM", 1, 2, [], "k") is None
    with raises_exact(TypeError, "argument '_path': 'int' object cannot be converted to 'PyString'"):
        tx.log_internal(1, "SET")


def test_delivery():
    engine = MorvaEngine()
    engine.attach_worker(42)
    assert engine.process_outbox() is None  # empty queue: the worker is not touched
    payloads = [object(), object(), object()]
    commit(engine, messages=[("a", payloads[0]), ("b", payloads[1])])
    commit(engine, messages=[("c", payloads[2])])
    seen = []
    engine.attach_worker(seen.append)
    engine.process_outbox()
    assert [type(m) for m in seen] == [OutboxMsg] * 3 and [m.topic for m in seen] == ["a", "b", "c"]
    assert all(m.payload is p for m, p in zip(seen, payloads))
    assert drain(engine) == []
    commit(engine, messages=[("lost", 1)])
    engine.attach_worker(None)
    with pytest.raises(TypeError, match="not callable"):
        engine.process_outbox()
    fresh = MorvaEngine()  # never had a worker: the batch is dropped silently
    commit(fresh, messages=[("dropped", 1)])
    assert fresh.process_outbox() is None and drain(fresh) == []


def test_failing_worker_loses_the_rest_of_the_batch():
    engine, seen = MorvaEngine(), []
    late = type("P", (), {})()
    gone = weakref.ref(late)
    commit(engine, messages=[("a", 1), ("b", 2), ("c", late)])
    del late

    def worker(msg):
        if msg.topic == "b":
            raise ValueError("worker failed")
        seen.append(msg.topic)

    engine.attach_worker(worker)
    with pytest.raises(ValueError, match="worker failed"):
        engine.process_outbox()
    engine.process_outbox()
    assert seen == ["a"] and gone() is None


@pytest.mark.timeout(30)
def test_worker_may_reenter_the_engine():
    engine, log, replacement = MorvaEngine(), [], []
    commit(engine, messages=[("a", 1), ("b", 2)])

    def worker(msg):
        log.append(msg.topic)
        engine.process_outbox()
        engine.attach_worker(replacement.append)
        commit(engine, messages=[("from-" + msg.topic, 0)])
        engine.commit_state(engine.state)
        engine.compare_and_swap(engine.state.version)

    engine.attach_worker(worker)
    engine.process_outbox()
    # The batch in hand went to the worker taken at the start. What the worker committed while
    # handling "a" waited in the queue until its nested process_outbox (while handling "b")
    # handed it to the worker attached by then.
    assert log == ["a", "b"] and [m.topic for m in replacement] == ["from-a"]
    engine.process_outbox()
    assert [m.topic for m in replacement] == ["from-a", "from-b"]
    assert engine.state.version == 1 + 1 + 2 * 2


def test_async_processes():
    engine = MorvaEngine()
    commit(engine, messages=[("queued", 1)])
    seen = {}

    async def coro_process(ctx):
        seen["coro"] = (ctx, threading.get_ident())
        return "done"

    def plain_process(ctx):
        ctx.outbox.add(OutboxMsg("private", 1))
        seen["plain"] = (ctx, threading.get_ident())
        return ctx.state.version

    async def main():
        coro = engine.execute_process_async("p", coro_process)
        plain = engine.execute_process_async(name="p", func=plain_process)
        assert asyncio.iscoroutine(coro)
        at_call = engine.state
        commit(engine)  # after the call: the processes still see the older state
        return at_call, await coro, await plain

    at_call, coro_result, plain_result = asyncio.run(main())
    ctx, thread = seen["coro"]
    assert coro_result == "done" and thread == threading.get_ident()
    assert type(ctx) is ProcessContext and ctx.state is at_call and ctx.local == {}
    ctx, thread = seen["plain"]
    assert plain_result == 2 and ctx.state is at_call and thread != threading.get_ident()
    assert engine.state.version == 3 and drain(engine) == ["queued"]


def test_async_process_errors():
    engine = MorvaEngine()
    with raises_exact(TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"):
        engine.execute_process_async(1, print)

    async def takes_one(ctx):
        return 1

    with pytest.raises(TypeError):  # the coroutine function fails when called
        engine.execute_process_async("p", functools.partial(takes_one, 1))

    async def main():
        with pytest.raises(TypeError, match="not callable"):
            await engine.execute_process_async("p", 42)

    asyncio.run(main())


@pytest.mark.timeout(60)
def test_four_threads_swapping_and_committing():
    engine, rounds, successes, failures = MorvaEngine(), 150, [], []
    sent = {i: [] for i in range(4)}

    def work(tid):
        try:
            for k in range(rounds):
                if k % 2:
                    while True:
                        try:
                            engine.compare_and_swap(engine.state.version, {f"t{tid}": k})
                            break
                        except ContextError:
                            continue
                else:
                    commit(engine, {f"t{tid}": k}, messages=[(f"{tid}:{k}", (tid, k))])
                    sent[tid].append(f"{tid}:{k}")
                successes.append(1)
        except BaseException as e:  # pragma: no cover - reported below
            failures.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures and engine.state.version == len(successes) + 1 == 4 * rounds + 1
    delivered = drain(engine)
    assert sorted(delivered) == sorted(t for topics in sent.values() for t in topics)
    for tid, topics in sent.items():
        assert [t for t in delivered if t.startswith(f"{tid}:")] == topics
    assert drain(engine) == []


def test_the_classes_cannot_be_patched_and_overrides_come_from_subclasses_and_substitutes():
    # State and MorvaEngine are immutable, so the engine runs their own code for exact instances;
    # what an application overrides lives on a subclass or a State-like object, found by lookup.
    for cls, name in ((State, "update"), (State, "version"), (MorvaEngine, "commit_state")):
        with pytest.raises(TypeError, match="immutable type"):
            setattr(cls, name, lambda self, *args: None)
    seen = []

    class Substitute:
        def __init__(self, real, result=None):
            self.real, self.result = real, result

        def update(self, *args):
            seen.append(("update",) + args)
            return self.result if self.result is not None else self.real.update(*args)

    class Engine(MorvaEngine):
        result = None

        @property
        def state(self):
            seen.append("state")
            return Substitute(super().state, self.result)

        def commit_state(self, state):
            seen.append(("commit_state", getattr(state, "version", None)))
            super().commit_state(state)

    engine = Engine()
    commit(engine, {"b": 1})
    assert seen == ["state", ("update", {"b": 1}, {}, []), ("commit_state", 2)]
    assert dict(engine.state.real.data.to_dict()) == {"b": 1}
    engine.result, before = {"not": "a state"}, engine.state.real
    with raises_exact(TypeError, "argument 'state': 'dict' object cannot be converted to 'State'"):
        commit(engine, {"b": 2})
    assert engine.state.real is before


def test_commit_nested_in_an_overriding_commit_state_proceeds():
    class Chained(MorvaEngine):
        def commit_state(self, state):
            super().commit_state(state)
            if state.version == 2:  # a follow-up transaction, committed from inside the first
                commit(self, {"b": 2}, messages=[("inner", 0)])

    engine = Chained()
    commit(engine, {"a": 1}, messages=[("outer", 0)])
    assert engine.state.version == 3 and dict(engine.state.data.to_dict()) == {"a": 1, "b": 2}
    assert drain(engine) == ["inner", "outer"]


@pytest.mark.timeout(60)
def test_a_swap_told_it_succeeded_is_never_overwritten():
    # The swap runs in the window between a commit's read of the state and its install.
    engine, window, outcome = MorvaEngine(), threading.Event(), []

    class Slow:
        def __str__(self):
            window.set()
            time.sleep(0.2)
            return "slow"

    def swap():
        window.wait(10)
        try:
            engine.compare_and_swap(1, {"cas": 1})
            outcome.append("applied")
        except ContextError as e:
            outcome.append(str(e))

    t = threading.Thread(target=swap)
    t.start()
    with engine.transaction() as tx:
        tx.update(data={"tx": 1}, signal={"s": Slow()})
    t.join(10)
    assert outcome == ["CAS Version Mismatch: Expected 1, Found 2"]
    assert engine.state.version == 2 and list(engine.state.data.keys()) == ["tx"]


def test_commits_onto_a_long_undelivered_queue_cost_the_same():
    def timed(engine, rounds=1000):
        start = time.perf_counter()
        for i in range(rounds):
            commit(engine, messages=[("m", i)])
        return time.perf_counter() - start

    loaded = MorvaEngine()
    commit(loaded, messages=[("m", i) for i in range(100_000)])
    fresh = MorvaEngine()
    cost = min(timed(loaded) for _ in range(3)) / min(timed(fresh) for _ in range(3))
    assert cost < 3, cost  # a queue copied at every commit makes it over 100


CHILD_PRELUDE = """
import sys, threading, time
from morva_core import MorvaEngine, OutboxMsg, State
def commit(engine, **staged):
    with engine.transaction() as tx:
        tx.update(**staged)
def outcome(fn):
    try:
        fn()
    except Exception as exc:
        return f"{type(exc).__name__}: {exc}"
    return "ok"
"""


def run_child(body, timeout=60):
    import subprocess
    import sys
    out = subprocess.run([sys.executable, "-c", CHILD_PRELUDE + body], capture_output=True,
                         text=True, timeout=timeout)
    return out.returncode, out.stdout.strip(), out.stderr


# Python code running inside a swap or a launch commits on the same engine while another
# thread's commit is under way: the inner commit is refused, the other thread's completes.
@pytest.mark.parametrize("inside, refusal", [
    ("engine.compare_and_swap(Index())", "Already mutably borrowed"),
    ("engine.execute_process_async('p', Sneaky())", "Already borrowed"),
])
@pytest.mark.timeout(90)
def test_a_commit_from_inside_an_engine_call_does_not_deadlock_another_thread(inside, refusal):
    code, out, err = run_child(f"""
engine, seen = MorvaEngine(), []
def callback():
    if seen:
        return
    other = threading.Thread(target=commit, args=(engine,), kwargs={{"data": {{"other": 1}}}})
    other.start()
    time.sleep(0.3)  # the other thread is now inside its commit, waiting
    seen[:] = [outcome(lambda: commit(engine, data={{"inner": 1}})), other]
class Index:
    def __index__(self):
        callback()
        return 1
class Sneaky:
    @property
    def __class__(self):
        callback()
        return Sneaky
outcome(lambda: {inside})
seen[1].join(20)
print(seen[0], engine.state.version, sorted(engine.state.data.keys())[-1])
""")
    assert code == 0, err
    assert out.startswith(f"RuntimeError: {refusal} ") and out.endswith(" other"), out


@pytest.mark.timeout(90)
def test_deep_reentry_through_the_engine_raises_recursion_error_on_a_small_stack():
    code, out, err = run_child("""
sys.setrecursionlimit(10**6)
threading.stack_size(512 * 1024)
engine = MorvaEngine()
tx = engine.transaction()
class Deep:
    def __deepcopy__(self, memo):
        return tx.get_shadow(Deep())
class Again(MorvaEngine):
    def commit_state(self, state):
        super().commit_state(state)
        commit(self)
class Keys:
    def keys(self):
        tx.update(data=Keys())
        return []
def worker(msg):
    with engine.transaction() as inner:
        inner.outbox.add(msg)
    engine.process_outbox()
engine.attach_worker(worker)
cases = [lambda: tx.get_shadow(Deep()), lambda: commit(Again()), lambda: tx.update(data=Keys()),
         lambda: worker(OutboxMsg("m", 0))]
results = []
def run():
    for case in cases:
        results.append(outcome(case).split(" exceeded")[0])
t = threading.Thread(target=run)
t.start()
t.join()
print(results)
""")
    assert code == 0, err
    assert out == str(["RecursionError: maximum recursion depth"] * 4), out


@pytest.mark.timeout(90)
def test_transaction_keeps_its_engine_while_write_timeout_ms_runs_python_code():
    # methodcaller hands its own keyword dict to the constructor; __index__ empties it.
    code, out, err = run_child("""
import gc, operator
class Index:
    def __index__(self):
        for ref in gc.get_referents(call):
            if isinstance(ref, dict):
                ref.clear()
        gc.collect()
        filler = [MorvaEngine() for _ in range(50)]
        return 5
call = operator.methodcaller("__call__", engine=MorvaEngine(), write_timeout_ms=Index())
tx = call(__import__("morva_core").Transaction)
with tx:
    tx.update(data={"a": 1})
print("ok", tx.write_timeout_ms)
""")
    assert (code, out) == (0, "ok 5"), err
