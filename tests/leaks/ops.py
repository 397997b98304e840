"""The operations the leak check runs, grouped by subsystem. Each entry maps a name to
(zero-argument callable doing one operation, objects whose reference counts must not grow)."""

import copy
import sys

import morva_core as mc


def _hidden(name):
    import gc

    for obj in gc.get_objects():
        if isinstance(obj, type) and obj.__module__ == "morva_core" and obj.__name__ == name:
            return obj
    raise LookupError(name)


def _raises(fn, exc):
    def run():
        try:
            fn()
        except exc:
            pass
    return run


def state_ops():
    payload = {"x": [1, 2]}
    value = object()
    big = mc.State(data={f"k{i}": i for i in range(1000)}, meta_capacity=8)
    small = mc.State(data={"domain": payload, "global": 3}, heavy={"h": value}, meta_capacity=8)
    receiver_hub = mc.SignalHub()
    receiver = receiver_hub.subscribe()
    return {
        "State()": (lambda: mc.State(data={"a": value}), [value]),
        "State.update(data)": (lambda: big.update(data={"k1": value}), [value, big]),
        "State.update(heavy, signal)": (
            lambda: small.update(heavy={"h": value}, signal=[{"s": value}]), [value, small]),
        "State.update(bad key)": (_raises(lambda: big.update(data={1: value}), TypeError), [value]),
        "State.data": (lambda: small.data, [payload, value]),
        "State.domain/global/heavy": (lambda: (small.domain, getattr(small, "global"), small.heavy),
                                      [payload]),
        "State.signal": (lambda: small.signal, [small]),
        "State.meta": (lambda: small.get_meta_logs(), [small]),
        "State.log_meta": (lambda: small.log_meta("key", "message"), [small]),
        "State.restrict_view": (lambda: small.restrict_view(), [small]),
        "State.__setattr__ refused": (_raises(lambda: setattr(small, "version", 2), mc.ContextError),
                                      [small]),
        "SignalHub publish+recv": (lambda: (receiver_hub.publish("m"), receiver.recv()),
                                   [receiver_hub, receiver]),
        "SignalHub subscribe": (lambda: receiver_hub.subscribe(), [receiver_hub]),
        "SignalHub()": (lambda: mc.SignalHub().publish("x"), []),
    }


def view_ops():
    FrozenList = _hidden("FrozenList")
    inner = {"a": 1}
    d = {"a": inner, "b": 2}
    fd = mc.FrozenDict(d)
    items = [inner, 2]
    fl = FrozenList(items)
    return {
        "FrozenDict item/attr/get": (lambda: (fd["a"], fd.b, fd.get("zz", 1)), [inner, d, fd]),
        "FrozenDict keys/values/items/str": (lambda: (fd.keys(), fd.values(), fd.items(), str(fd)),
                                             [inner, d]),
        "FrozenDict missing key": (_raises(lambda: fd["zz"], KeyError), [d, fd]),
        "FrozenDict bad argument": (_raises(lambda: mc.FrozenDict(3), TypeError), []),
        "FrozenList read/iter/str": (lambda: (fl[0], list(fl), str(fl)), [inner, items, fl]),
        "FrozenList out of range": (_raises(lambda: fl[5], IndexError), [items, fl]),
    }


def engine_ops():
    payload = {"p": 1}
    engine = mc.MorvaEngine()
    delivered = []

    class Schema:
        @staticmethod
        def model_validate(data):
            if data.get("bad"):
                raise ValueError("bad")

    engine.set_schema(Schema)
    engine.attach_worker(lambda msg: delivered.clear())

    def commit():
        with engine.transaction() as tx:
            tx.update(data={"a": payload}, signal={"s": 1})
            tx.outbox.add(mc.OutboxMsg("t", payload))
        engine.process_outbox()

    def cas():
        engine.compare_and_swap(engine.state.version, data={"c": payload})

    def failing_commit():
        tx = engine.transaction()
        tx.update(data={"bad": payload})
        try:
            with tx:
                pass
        except mc.SchemaViolationError:
            pass

    tx = mc.Transaction()
    TrackedDict, TrackedList = _hidden("TrackedDict"), _hidden("TrackedList")
    tracked_dict = TrackedDict({}, tx, "root")
    state = mc.State(data={"domain": payload})
    local = {}

    async def process(ctx):
        return ctx

    def launch():
        engine.execute_process_async("p", process).close()
        engine.execute_process_async("p", lambda ctx: None).close()

    return {
        "transaction commit + delivery": (commit, [payload, engine]),
        "compare_and_swap": (cas, [payload, engine]),
        "compare_and_swap mismatch": (_raises(lambda: engine.compare_and_swap(0), mc.ContextError),
                                      [engine]),
        "schema violation": (failing_commit, [payload, engine]),
        "commit_state": (lambda: engine.commit_state(engine.state), [engine]),
        "get_shadow/log_internal": (
            lambda: (tx.get_shadow([payload]), tx.log_internal("p", "SET", payload, None, None, "k")),
            [payload, tx]),
        "TrackedDict/TrackedList": (
            lambda: (tracked_dict.__setitem__("k", payload), tracked_dict["k"],
                     TrackedList([0], tx, "root").__setitem__(0, payload),
                     TrackedList([], tx, "root").append(payload)), [payload, tx]),
        # The parameter names are interned once per process, not once per keyword call.
        "TrackedDict/TrackedList by keyword": (
            lambda: (TrackedDict(data={}, tx=tx, path="root"),
                     TrackedList(data=[], tx=tx, path="root")),
            [sys.intern("data"), sys.intern("tx"), sys.intern("path"), tx]),
        "ProcessContext": (lambda: mc.ProcessContext(state, local).domain_ctx, [state, local, payload]),
        "ProcessContext forwarding + outbox": (
            lambda: (mc.ProcessContext(state, local).version,
                     mc.ProcessContext(state, local).outbox.add(mc.OutboxMsg("t", payload))),
            [state, payload]),
        "execute_process_async": (launch, [engine]),
    }


def workflow_ops():
    yaml = """
steps:
  - a
  - flux: while
    condition: "c['n'] < 3"
    do: [inc]
  - flux: if
    condition: "len(c) == 1"
    then: [b]
  - flux: run
    steps: [d]
nodes:
  start: a
  a: {next: {"if c['n'] > 99": z, "else": b}}
  b: {}
"""
    holder = {"engine": mc.WorkflowEngine(yaml), "runs": 0}

    def execute():
        # A fresh engine every 1000 runs: the history grows by design with every transition.
        holder["runs"] += 1
        if holder["runs"] % 1000 == 0:
            holder["engine"] = mc.WorkflowEngine(yaml)
        ctx = {"c": {"n": 0}}
        holder["engine"].execute(ctx, lambda name: ctx["c"].__setitem__("n", ctx["c"]["n"] + 1)
                                 if name == "inc" else None)

    ctx = {"c": {"n": 0}}
    return {
        "WorkflowEngine()": (lambda: mc.WorkflowEngine(yaml), []),
        "WorkflowEngine parse error": (_raises(lambda: mc.WorkflowEngine("steps: [1]"), ValueError), []),
        "execute": (execute, []),
        "simulate": (lambda: holder["engine"].simulate(ctx), [ctx]),
        "fsm_state/history": (lambda: (holder["engine"].fsm_state, holder["engine"].state_history[:1]), []),
        "failing condition": (
            _raises(lambda: mc.WorkflowEngine('steps: [{flux: if, condition: "nope"}]').execute({}, None),
                    NameError), []),
    }


def audit_ops():
    count = mc.AuditSystem(mc.AuditRecipe(level=mc.AuditLevel.Count), capacity=16)
    stop = mc.AuditSystem(mc.AuditRecipe(level=mc.AuditLevel.Stop), capacity=16)
    warn = mc.AuditSystem(mc.AuditRecipe(threshold_max=2**31, threshold_min=1), capacity=16)
    return {
        "log_fail/log_success/log": (
            lambda: (count.log_fail("k"), count.log_success("k"), count.log("k", "m")), [count]),
        "get_logs/get_count": (lambda: (count.get_logs(), count.get_count("k"),
                                        count.get_count_all(), count.ring_buffer_len), [count]),
        "log_fail Stop": (_raises(lambda: stop.log_fail("k"), mc.AuditStopError), [stop]),
        "log_fail warning": (lambda: warn.log_fail("k"), [warn]),
        "AuditRecipe": (lambda: mc.AuditRecipe(level=mc.AuditLevel.Abort).level, []),
        "ConfigLoader valid": (
            lambda: mc.ConfigLoader.load_from_string("context:\n  domain:\n    a: {type: int}\n"), []),
        "ConfigLoader invalid": (
            _raises(lambda: mc.ConfigLoader.load_from_string("contexts: 1"), mc.SchemaViolationError), []),
    }


def guard_ops():
    payload = {"inner": [1, 2]}

    class Target:
        pass

    target = Target()
    target.value, target.box, target.out, target.heavy_blob = 7, payload, 0, None
    tx = mc.Transaction()
    plain = mc.ContextGuard(target, ["value", "box"], ["out", "heavy_blob"])
    tracked = mc.ContextGuard(target, ["value", "box"], ["out", "heavy_blob"], tx=tx)
    return {
        "ContextGuard()": (lambda: mc.ContextGuard(target, ["value"], ["out"], tx=tx), [target, tx]),
        "guarded reads": (lambda: (plain.value, plain["box"], tracked.box, tracked.value),
                          [target, payload, tx]),
        "guarded writes": (lambda: (setattr(tracked, "out", payload),
                                    setattr(tracked, "heavy_blob", payload)), [target, payload, tx]),
        "refused access": (_raises(lambda: plain.secret, PermissionError), [target]),
    }


def leaky_ops():
    # Self-checks of the measurement: one new object kept per call, and one extra reference to
    # an existing object per call, must both be caught.
    keep, kept = [], object()
    keep_refs = []
    return {
        "deliberate object leak": (lambda: keep.append(object()), []),
        "deliberate reference leak": (lambda: keep_refs.append(kept), [kept]),
    }


GROUPS = {
    "state": state_ops,
    "views": view_ops,
    "engine": engine_ops,
    "workflow": workflow_ops,
    "audit": audit_ops,
    "guard": guard_ops,
    "leaky": leaky_ops,
}
