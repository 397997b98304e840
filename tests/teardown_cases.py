"""Child-interpreter scenarios for test_teardown.py: freeing long chains of module objects, and
interpreter exit while a daemon thread is inside a module call or frees a module object."""

import functools
import sys
import threading
import time
import types

import morva_core as mc

# --- chains: each link holds the previous one through a different holder --------------------

_ROOT = mc.State(meta_capacity=0)  # versions derived from it share one log and one channel


@functools.cache
def _tracked_dict_type():
    engine = mc.MorvaEngine()
    with engine.transaction() as tx:
        return type(mc.ContextGuard({"d": {}}, ["d"], ["d"], tx=tx)["d"])


def _engine_holding(x):
    engine = mc.MorvaEngine()
    engine.commit_state(mc.State(data={"k": x}, version=2))
    return engine


def _outbox_holding(x):
    outbox = mc.ProcessContext(mc.State(), {}).outbox
    outbox.add(mc.OutboxMsg("t", x))
    return outbox


def _collector_holding(x):
    tx = mc.Transaction(mc.MorvaEngine())
    collector = tx.outbox
    collector.add(mc.OutboxMsg("t", x))
    return collector


def _workflow_holding(x):
    workflow = mc.WorkflowEngine("steps: []\n")
    workflow.add_state_observer(x)
    return workflow


LINKS = {
    "msg": lambda x: mc.OutboxMsg("t", x),
    "state": lambda x: _ROOT.update(data={"k": x}),
    "heavy": lambda x: _ROOT.update(heavy={"heavy_k": x}),
    "guard": lambda x: mc.ContextGuard(x, [], []),
    "context": lambda x: mc.ProcessContext(mc.State(data={"k": x}), {}),
    "engine": _engine_holding,
    "transaction": lambda x: mc.Transaction(_engine_holding(x)),
    "tracked": lambda x: _tracked_dict_type()({}, mc.Transaction(_engine_holding(x)), "p"),
    "outbox": _outbox_holding,
    "collector": _collector_holding,
    "workflow": _workflow_holding,
}


def free_chain(kinds, n):
    """Builds n links cycling through `kinds` and frees the whole chain at once."""
    makers = [LINKS[k] for k in kinds.split(",")]
    x = None
    for i in range(n):
        x = makers[i % len(makers)](x)
    del x
    return "freed"


def free_chain_on_small_stack(kinds, n):
    threading.stack_size(512 * 1024)
    out = []
    t = threading.Thread(target=lambda: out.append(free_chain(kinds, n)))
    t.start()
    t.join()
    return out[0]


# --- exit: a daemon thread wakes up while the interpreter is finalizing ----------------------

NAP = 0.3
_inside = threading.Event()


def _nap(*_args, sleep=time.sleep, inside=_inside):
    inside.set()
    sleep(NAP)


class _SlowDel:
    def __del__(self, nap=_nap):
        nap()


class _SlowStr:
    def __str__(self, nap=_nap):
        nap()
        return "x"


class _SleepDuringFinalization:
    # Freed with its module during finalization, after daemon threads were told to stop: the
    # main thread sleeps here, so the daemon thread's nap ends while the interpreter finalizes.
    # A probe then touches what that thread was using when it was ended.
    def __init__(self, probe=None):
        self.probe = probe

    def __del__(self, sleep=time.sleep):
        sleep(3 * NAP)
        if self.probe is not None:
            self.probe()


def _queued_engine(payload):
    engine = mc.MorvaEngine()
    with engine.transaction() as tx:
        tx.outbox.add(mc.OutboxMsg("t", payload))
    return engine


def _exit_state():
    s = mc.State(data={"k": _SlowDel()})
    del s


def _exit_msg():
    m = mc.OutboxMsg("t", _SlowDel())
    del m


def _exit_frozen():
    f = mc.FrozenDict({"k": _SlowDel()})
    del f


def _exit_commit_replaces():
    engine = mc.MorvaEngine()
    engine.commit_state(mc.State(data={"k": _SlowDel()}, version=2))
    engine.commit_state(mc.State(version=3))


def _exit_engine_queue():
    engine = _queued_engine(_SlowDel())
    del engine


def _exit_discarded_batch():
    _queued_engine(_SlowDel()).process_outbox()  # no worker: the batch is dropped


def _exit_executor():
    mc.WorkflowEngine("steps:\n  - process: a\n").execute({}, _nap)


def _exit_observer():
    workflow = mc.WorkflowEngine("steps:\n  - process: a\n")
    workflow.add_state_observer(_nap)
    workflow.execute({}, lambda name: None)


def _exit_signal_str():
    mc.State().update(signal={"k": _SlowStr()})


class _FailsWithSlowDel:
    def __getitem__(self, key):
        raise KeyError(_SlowDel())


def _exit_cleared_error():
    # The missing key's KeyError is dropped by the guard (the read falls back to the attribute),
    # and dropping it runs the finalizer of what it carries.
    mc.ContextGuard(_FailsWithSlowDel(), [], [])["k"]


class _SlowSetter:
    def __setattr__(self, name, value, nap=_nap):
        nap()


_WRITTEN = mc.ContextGuard(_SlowSetter(), [], ["x"])
_COMMITTING = mc.MorvaEngine()


def _exit_guard_write():
    _WRITTEN.x = 1


def _exit_commit_gate():
    with _COMMITTING.transaction() as tx:
        tx.update(signal={"k": _SlowStr()})


def _refused(action, message):
    """A probe: the ended thread's hold is left as it was (the thread was unwound without the
    GIL), and `action`, meeting it, is refused at once instead of waiting forever."""
    def probe(action=action, message=message, error=RuntimeError, str=str):
        try:
            action()
        except error as e:
            if str(e) == message:
                return
            raise
        raise error("not refused")
    return probe


PROBES = {
    "guard_write": _refused(lambda g=_WRITTEN: g.x, "Already mutably borrowed"),
    "commit_gate": _refused(lambda e=_COMMITTING, s=mc.State(version=9): e.commit_state(s),
                            "Already borrowed"),
}


EXITS = {name[len("_exit_"):]: fn for name, fn in globals().items() if name.startswith("_exit_")}


def exit_during(case):
    """Starts the case on a daemon thread and ends the interpreter while it naps."""
    holder = types.ModuleType("_sleep_during_finalization")
    holder.keeper = _SleepDuringFinalization(PROBES.get(case))
    sys.modules[holder.__name__] = holder
    threading.Thread(target=EXITS[case], daemon=True).start()
    _inside.wait(10)


if __name__ == "__main__":
    if sys.argv[1] == "exit_during":
        exit_during(sys.argv[2])
    else:
        print(globals()[sys.argv[1]](sys.argv[2], int(sys.argv[3])))
