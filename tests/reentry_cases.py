"""Callbacks that re-enter the object that called them. Each case returns a short outcome text;
test_reentrancy.py runs every case in its own interpreter so that a hang fails by time-out."""

import warnings

import morva_core as mc


def _commit(engine, **staged):
    with engine.transaction() as tx:
        tx.update(**staged)


def _outcome(fn):
    try:
        fn()
    except Exception as exc:  # the outcome is the exception's type and text
        return f"{type(exc).__name__}: {exc}"
    return "ok"


# --- engine: schema and worker ---------------------------------------------------------------

def schema_sets_schema():
    engine = mc.MorvaEngine()

    class Schema:
        @staticmethod
        def model_validate(data):
            engine.set_schema(None)

    engine.set_schema(Schema)
    _commit(engine, data={"a": 1})
    return f"ok version={engine.state.version}"


def schema_commits_state():
    engine = mc.MorvaEngine()

    class Schema:
        @staticmethod
        def model_validate(data):
            engine.commit_state(mc.State())

    engine.set_schema(Schema)
    return _outcome(lambda: _commit(engine, data={"a": 1})) + f" version={engine.state.version}"


def schema_enters_its_transaction():
    engine = mc.MorvaEngine()
    tx = engine.transaction()

    class Schema:
        @staticmethod
        def model_validate(data):
            tx.__enter__()

    engine.set_schema(Schema)
    tx.update(data={"a": 1})
    return _outcome(lambda: tx.__exit__(None, None, None))


def schema_commits_another_transaction():
    engine = mc.MorvaEngine()

    class Schema:
        depth = 0

        @classmethod
        def model_validate(cls, data):
            if cls.depth == 0:
                cls.depth += 1
                _commit(engine, data={"inner": 1})

    engine.set_schema(Schema)
    return _outcome(lambda: _commit(engine, data={"a": 1})) + f" version={engine.state.version}"


def worker_reenters_engine():
    engine = mc.MorvaEngine()
    seen = []

    def worker(msg):
        seen.append(msg.topic)
        if msg.topic == "first":
            engine.attach_worker(worker)
            engine.process_outbox()
            with engine.transaction() as tx:
                tx.outbox.add(mc.OutboxMsg("from-worker", None))
            engine.compare_and_swap(engine.state.version, data={"w": 1})

    engine.attach_worker(worker)
    with engine.transaction() as tx:
        tx.outbox.add(mc.OutboxMsg("first", None))
        tx.outbox.add(mc.OutboxMsg("second", None))
    engine.process_outbox()
    engine.process_outbox()
    return f"ok {seen}"


def update_reenters_during_cas():
    engine = mc.MorvaEngine()

    inner = []

    class Value:
        def __str__(self):
            # A read of the engine while its own swap holds exclusive access.
            inner.append(_outcome(lambda: engine.state))
            return "v"

    return _outcome(lambda: engine.compare_and_swap(1, signal={"v": Value()})) + f" {inner}"


# --- stored objects: __hash__, __eq__, __str__, __deepcopy__ -----------------------------------

def key_hash_and_eq_reenter_state():
    state = mc.State(data={"a": 1})

    class Key(str):
        def __hash__(self):
            state.update(data={"inner": 1})
            return str.__hash__(self)

        def __eq__(self, other):
            state.get_meta_logs()
            return str.__eq__(self, other)

    new = state.update(data={Key("a"): 2, Key("b"): 3})
    return f"ok {sorted(new.data.keys())}"


def signal_str_reenters_state_and_hub():
    state = mc.State()
    hub = state.signal
    receiver = hub.subscribe()

    class Value:
        def __str__(self):
            state.update(signal={"inner": 1})
            hub.publish("from-str")
            return "outer"

    state.update(signal={"k": Value()})
    got = [receiver.recv() for _ in range(3)]
    return f"ok {got}"


def deepcopy_reenters_transaction():
    tx = mc.Transaction()

    class Value:
        def __deepcopy__(self, memo):
            tx.update(data={"x": 1})
            return Value()

    return _outcome(lambda: tx.get_shadow(Value()))


def tracked_key_str_reenters_proxy():
    tx = mc.Transaction()
    data = {}
    tracked = type_of("TrackedDict")(data, tx, "root")

    class Key:
        def __str__(self):
            tracked["inner"] = 1
            return "key"

        def __hash__(self):
            return 1

    tracked[Key()] = 2
    return f"ok {sorted(map(str, data))}"


def frozen_key_eq_reenters_view():
    data = {}
    view = mc.FrozenDict(data)

    class Key:
        def __hash__(self):
            return hash("a")

        def __eq__(self, other):
            return view.get("zz") is None and other == "a"

    data["a"] = 1
    return f"ok {view[Key()]}"


# --- guard: target hooks and shadow copies ----------------------------------------------------

def target_hook_reenters_guard():
    outcomes = []

    class Target:
        def __getattr__(self, name):
            if name == "computed":
                outcomes.append(_outcome(lambda: guard.plain))             # read during read
                outcomes.append(_outcome(lambda: setattr(guard, "out", 1)))  # write during read
                return 5
            raise AttributeError(name)

    target = Target()
    target.plain = 1
    guard = mc.ContextGuard(target, ["computed", "plain"], ["out"])
    return f"ok {guard.computed} {outcomes}"


def deepcopy_reenters_guarded_transaction():
    tx = mc.Transaction()

    class Value:
        def __deepcopy__(self, memo):
            return _outcome(lambda: tx.get_shadow(1))

    class Target:
        value = Value()

    guard = mc.ContextGuard(Target(), ["value"], [], tx=tx)
    return f"ok {guard.value._target}"


def schema_uses_guard_on_committing_transaction():
    engine = mc.MorvaEngine()
    tx = engine.transaction()
    guard = mc.ContextGuard({"items": [1]}, ["items"], [], tx=tx)
    seen = []

    class Schema:
        @staticmethod
        def model_validate(data):
            seen.append(_outcome(lambda: guard["items"]))

    engine.set_schema(Schema)
    tx.update(data={"a": 1})
    tx.__exit__(None, None, None)
    return f"ok {seen} version={engine.state.version}"


# --- workflow: executor, condition, observer ---------------------------------------------------

def executor_reenters_engine():
    engine = mc.WorkflowEngine("steps: [outer]")
    inner = mc.WorkflowEngine("steps: [x]")
    runs = []

    def executor(name):
        runs.append(name)
        if len(runs) == 1:
            runs.extend(engine.execute({}, lambda n: None))
            inner.execute({}, executor)
        int(engine.fsm_state)

    return f"ok {engine.execute({}, executor)} {runs}"


def condition_reenters_engine():
    engine = mc.WorkflowEngine("""
steps:
  - flux: if
    condition: "probe()"
    then: [yes]
""")

    def probe():
        return len(engine.state_history) > 0 and engine.simulate({}) == []

    return f"ok {engine.execute({'probe': probe}, lambda n: None)}"


def observer_reenters_engine():
    engine = mc.WorkflowEngine("steps: [a]")
    seen = []

    def observer(old, new):
        seen.append((int(old), int(new), int(engine.fsm_state)))
        engine.add_state_observer(lambda o, n: None)
        if len(seen) == 1:
            engine.execute({}, lambda n: None)  # a nested run from inside a transition

    engine.add_state_observer(observer)
    return f"ok {engine.execute({}, lambda n: None)} {len(seen)}"


# --- audit: a warning handler calling back ------------------------------------------------------

def warning_handler_reenters_audit():
    audit = mc.AuditSystem(mc.AuditRecipe(threshold_min=1))
    outcome = []

    def handler(message, category, filename, lineno, file=None, line=None):
        outcome.append(_outcome(lambda: audit.log_fail("inner")))

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = handler
        audit.log_fail("k")
    return f"{outcome[0]} count={audit.get_count('k')}"


def type_of(name):
    import gc

    for obj in gc.get_objects():
        if isinstance(obj, type) and obj.__module__ == "morva_core" and obj.__name__ == name:
            return obj
    raise LookupError(name)


CASES = {name: fn for name, fn in globals().items()
         if callable(fn) and not name.startswith("_") and name not in ("type_of",)
         and getattr(fn, "__module__", None) == __name__ and not isinstance(fn, type)}

if __name__ == "__main__":
    import sys

    print(CASES[sys.argv[1]]())
